// "--dump": what a category file holds, printed from its checked layout:
// size, section table, type, each section's extent and records, and last a
// "signature: valid" or "signature: INVALID" line. Reads only bytes the
// layout check has placed inside the file.
#ifndef TVX_UCFB_DUMP_H
#define TVX_UCFB_DUMP_H

#include <cstdio>
#include <string>

#include "ucfb_result.h"

struct ucfb_dump_options {
    std::string path;
    std::string key_path;  // "": the key built into the daemon
    bool verbose = false;  // every record, not only the counts
};

// UCFB_OK when the layout is sound and the signature valid; UCFB_ERR_LAYOUT
// or UCFB_ERR_SIGNATURE otherwise; UCFB_ERR_IO or UCFB_ERR_KEY, with err,
// when the file or the key cannot be read.
ucfb_rc ucfb_dump(const ucfb_dump_options &o, FILE *out, std::string &err);

#endif
