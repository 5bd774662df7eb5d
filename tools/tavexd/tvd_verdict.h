// Turns what a scan found into the answer of the stand-in scanning daemon:
// the response code, the threat names with their type letters, the report
// lines, and what happens to the object when the code says cured or deleted.
#ifndef TVD_VERDICT_H
#define TVD_VERDICT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tvd_sigdb.h"

// Response-code bits the daemon itself decides on.
enum : uint32_t {
    TVD_CODE_READ_ERROR = 0x1,
    TVD_CODE_WRITE_ERROR = 0x2,
    TVD_CODE_OPEN_ERROR = 0x10,
    TVD_CODE_CURED = 0x100,
    TVD_CODE_EMPTY = 0x800,
    TVD_CODE_TOO_LARGE = 0x1000,
    TVD_CODE_DELETED = 0x80000,
    TVD_CODE_CURED_OR_DELETED = 0x80100,
    TVD_CODE_OK = 0x100000,
};
// Scan option bit: the client asks for a cure.
enum : uint32_t { TVD_OPT_CURE = 0x40 };

enum tvd_body_action {
    TVD_BODY_KEEP,    // a cured object is returned unchanged
    TVD_BODY_REMOVE,  // the patterns below are cut out
    TVD_BODY_EMPTY,   // the object is deleted: nothing is left
};

struct tvd_verdict {
    uint32_t code = 0;
    std::vector<std::string> names;
    std::vector<std::string> lines;
    int body = TVD_BODY_KEEP;
    std::vector<std::string> remove;
};

// The verdict for hits of the signature set on one object named object
// (a path, or the stream name for an object sent whole). options is the
// client's scan option word; fixed, when not null, is answered instead of
// the code the signatures give.
tvd_verdict tvd_judge(const tvd_sigdb &db, const std::vector<bool> &hits, const std::string &object,
                      uint32_t options, const uint32_t *fixed);

// A verdict built from a code alone: one made-up threat name per threat bit
// and one report line per bit, as the daemon words them.
tvd_verdict tvd_verdict_for_code(uint32_t code, const std::string &object);

// Line templates for a code; threat phrases end in the threat name.
std::vector<std::string> tvd_code_lines(uint32_t code);

// Expands %p (object), %n (threat name without its type letter), %N (threat
// name as sent) and %% in a template; the result is cut at 8192 bytes.
std::string tvd_expand(const std::string &tmpl, const std::string &object, const std::string &name);

#endif
