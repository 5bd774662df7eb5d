// The threat-reporting extension headers of a 200 reply: X-Virus-ID,
// X-Infection-Found and the X-Violations-Found records that are derived
// from the scanning daemon's report lines. Composes text only.
#ifndef TVX_ICAP_X_HEADERS_H
#define TVX_ICAP_X_HEADERS_H

#include <cstddef>
#include <string>

#include "request/request.h"

// Flags of a violation_table row.
enum : unsigned {
    VIOL_F_AFTER_PROBABLY = 2,  // passed over right after a row with 8
    VIOL_F_SEPARATOR = 4,       // " - " between file name and phrase
    VIOL_F_PROBABLY = 8,
    VIOL_F_AFTER_HEADER = 16,  // passed over right after a row with 32
    VIOL_F_HEADER = 32,
    VIOL_F_THREAT = 64,  // the file name ends before the phrase, the threat follows it
};

// One report phrase of the scanning daemon.
struct violation_row {
    const char *phrase;
    unsigned flags;
    int violation;      // 1 when a match makes a record
    unsigned problem;   // printed in hexadecimal
    int resolution;
};

constexpr size_t VIOLATION_ROWS = 37;
extern const violation_row violation_table[VIOLATION_ROWS];

// Appends the threat headers for rq (its viruses_list, infection values,
// URL and current temp file) and the report lines of the request. Returns 200,
// or 0 for lack of memory.
int add_x_headers(std::string &head, const icap_request &rq);

#endif
