// The signature set of the stand-in scanning daemon: entries read from a
// plain-text signature file (format in README.md), or the built-in set that
// holds only the antivirus test string. Never stores that string verbatim.
#ifndef TVD_SIGDB_H
#define TVD_SIGDB_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum tvd_sig_kind { TVD_SIG_NONE, TVD_SIG_PATTERN, TVD_SIG_MD5, TVD_SIG_SHA256, TVD_SIG_ANY };
enum tvd_cure_rule { TVD_CURE_NONE, TVD_CURE_REMOVE, TVD_CURE_DELETE };

// Bounds on what a signature file may declare.
enum : size_t {
    TVD_MAX_SIGFILE = 4u << 20,   // bytes of one signature file
    TVD_MAX_SIGS = 10000,         // entries
    TVD_MAX_PATTERN = 4096,       // bytes of one pattern
    TVD_MAX_NAME = 255,           // bytes of one threat name
    TVD_MAX_TEMPLATE = 1024,      // bytes of one report-line template
    TVD_MAX_LINES = 32,           // report lines of one entry
};

struct tvd_signature {
    std::string name;                 // threat name as sent, type suffix included
    int kind = TVD_SIG_NONE;
    std::string match;                // pattern bytes, or the raw digest
    uint32_t code = 0x20;             // response-code bits answered on a match
    int cure = TVD_CURE_NONE;
    std::vector<std::string> report;  // line templates; empty: lines follow from code
    std::vector<std::string> cured;   // line templates added after a cure
    unsigned line = 0;                // where the entry starts in its file
};

struct tvd_sigdb {
    std::vector<tvd_signature> sigs;
    size_t max_pattern = 0;           // longest pattern, 0 without patterns
};

// Parses signature-file text; on failure error holds "origin:line: reason".
bool tvd_sigdb_parse(const std::string &text, const std::string &origin, tvd_sigdb &db, std::string &error);
bool tvd_sigdb_load(const std::string &path, tvd_sigdb &db, std::string &error);
// The set used without a signature file: the antivirus test string, curable.
void tvd_sigdb_builtin(tvd_sigdb &db);

// Number in decimal or 0x-hexadecimal, several joined by '|' are or-ed.
bool tvd_parse_code(const std::string &text, uint32_t *value);

#endif
