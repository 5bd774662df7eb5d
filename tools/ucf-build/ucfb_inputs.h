// The inputs of one compile, read in the order given: URL lists, substring
// lists and folders in the layout of public category blacklists ("domains"
// and "urls" files). Streams each file into the records and reports on
// stderr how many lines were taken and rejected, quoting the first few.
#ifndef TVX_UCFB_INPUTS_H
#define TVX_UCFB_INPUTS_H

#include <cstdio>
#include <string>

#include "ucfb_records.h"
#include "ucfb_result.h"

enum ucfb_input_kind {
    UCFB_INPUT_URLS,        // --urls FILE
    UCFB_INPUT_SUBSTRINGS,  // --substrings FILE
    UCFB_INPUT_LISTS,       // --from-lists DIR
};

struct ucfb_input {
    ucfb_input_kind kind;
    std::string path;
};

// UCFB_ERR_IO, with err, when a file cannot be read or a folder holds
// neither list; rejected lines are reported, not failures.
ucfb_rc ucfb_input_read(const ucfb_input &in, ucfb_records &records, FILE *report, std::string &err);

#endif
