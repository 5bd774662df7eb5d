// The in-process libclamav engine of the stand-in daemon: a compiled engine
// built from one database directory, and the translation of what libclamav
// says into response codes. It never answers clean for an object it did not
// scan whole: limits, errors and formats it cannot open carry their bits.
#ifndef TVD_CLAMAV_H
#define TVD_CLAMAV_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tvd_engine.h"

struct tvd_clamav_config {
    std::string database;   // directory of signature files, loaded whole
    std::string temp_dir;   // each scan gets a private directory under it
    // Engine limits set before loading: libclamav field and value; those not
    // named keep libclamav's defaults.
    std::vector<std::pair<int, uint64_t>> limits;
};

// Parses NAME=VALUE (max-filesize, max-scansize, max-files, max-recursion,
// max-scantime) into cfg.limits. False with error set on a bad one.
bool tvd_clamav_parse_limit(const char *text, tvd_clamav_config &cfg, std::string &error);

// Loads and compiles the directory; null with error set when that fails.
std::unique_ptr<tvd_engine> tvd_clamav_create(const tvd_clamav_config &cfg, std::string &error);

#endif
