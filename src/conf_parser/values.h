// Text-to-value parsers of the configuration language (bool, digital_t,
// size, string list) and load_file, the reader of "file:" line files.
// Each parser either returns the value or throws; none keeps state.
#ifndef TVX_CONF_PARSER_VALUES_H
#define TVX_CONF_PARSER_VALUES_H

#include <string>
#include <vector>

// The integer type of the parameter tables.
typedef int digital_t;

// "true"/"yes" and "false"/"no" in any letter case; else "Error parsing bool".
bool cf_parse_bool(const std::string &text);

// Optional leading blanks, optional sign, decimal digits and nothing after
// them, within the range of a 32-bit int; else "Error parsing digital_t".
digital_t cf_parse_digital(const std::string &text);

// "inf" (any case) gives 0; otherwise decimal digits followed by at most one
// unit: none/k/K (x1024), m/M (x1048576) or b (x1). Bad text throws
// std::runtime_error "Error parsing size"; a number beyond the unit's limit
// (or beyond 64 bits) throws std::overflow_error "Error parsing size: overflow".
unsigned long cf_parse_size(const std::string &text);

// One assigned string as a list value: a vector holding it, or an empty
// vector for the empty string.
std::vector<std::string> cf_parse_string_list(const std::string &text);

// Reads a line file: one entry per line, in file order; empty lines, blank
// lines and lines whose first non-blank character is '#' or ';' are skipped.
// Lines are taken exactly as read (blanks and a trailing CR stay). Each entry
// is converted to T; conversion errors propagate. Instantiated for
// std::string, compiled_re and cidr_ptr. Throws "Error opening file: <path>"
// (a directory included) and "Error reading file: <path>" on a read error.
template <class T>
std::vector<T> load_file(const std::string &path);

#endif
