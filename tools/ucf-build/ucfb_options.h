// The command line of ucf-build: which of its three jobs to do and with
// what. Parses and checks only; opens no file.
#ifndef TVX_UCFB_OPTIONS_H
#define TVX_UCFB_OPTIONS_H

#include <cstdio>
#include <string>
#include <vector>

#include "ucfb_inputs.h"
#include "ucfb_result.h"

enum ucfb_mode {
    UCFB_MODE_HELP,
    UCFB_MODE_GEN_KEY,  // --gen-key FILE
    UCFB_MODE_BUILD,    // --category NAME ... -o OUT
    UCFB_MODE_DUMP,     // --dump FILE
};

struct ucfb_options {
    ucfb_mode mode = UCFB_MODE_HELP;
    std::string gen_key_path;
    std::string category;  // the name as given
    std::string type;      // the type string it makes
    bool white = false;
    std::string key_path;  // private key (build) or public key (dump)
    std::string out_path;
    std::vector<ucfb_input> inputs;
    std::string dump_path;
    bool verbose = false;
};

// UCFB_ERR_USAGE, with err, for anything the usage does not allow.
ucfb_rc ucfb_options_parse(int argc, char **argv, ucfb_options &o, std::string &err);

void ucfb_usage(FILE *out);

#endif
