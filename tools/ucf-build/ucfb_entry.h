// One list line read as an entry: an IPv4 or IPv6 address alone, or a host
// (name or address) with an optional path and required parameters, put in
// the form the daemon builds its lookup keys from. Parses only; computes no
// digest and keeps nothing between lines.
#ifndef TVX_UCFB_ENTRY_H
#define TVX_UCFB_ENTRY_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "policy/ucf_format.h"

enum ucfb_entry_rc {
    UCFB_ENTRY_OK = 0,
    UCFB_ENTRY_EMPTY_HOST,        // nothing before the path
    UCFB_ENTRY_BLANK,             // a blank or control character inside the entry
    UCFB_ENTRY_HOST_CHARACTER,    // a host name byte other than letters, digits, "-", "_", "."
    UCFB_ENTRY_EMPTY_LABEL,       // ".." or a leading "." in the host name
    UCFB_ENTRY_TOO_MANY_LABELS,   // more than UCFB_LABELS_MAX labels
    UCFB_ENTRY_BAD_IPV6,          // "[...]" that is no IPv6 address
    UCFB_ENTRY_BAD_PORT,          // ":" not followed by a port number
    UCFB_ENTRY_QUERY_NO_PATH,     // "?" before any "/"
    UCFB_ENTRY_PATH_TOO_LONG,     // path longer than UCFB_PATH_MAX
    UCFB_ENTRY_EMPTY_QUERY,       // "?" followed only by "&"
    UCFB_ENTRY_TOO_MANY_PIECES,   // more than UCFB_PIECES_MAX parameters
};

// What the reports say about a rejected line.
std::string ucfb_entry_reason(ucfb_entry_rc rc);

struct ucfb_entry {
    // UCF_SEC_IPV4 or UCF_SEC_IPV6: an address alone, its bytes in base.
    // UCF_SEC_URLS: a key of level and base with the path as prefix.
    // UCF_SEC_URL_PARAMS: the same, and the parameters that must be present.
    ucf_section section = UCF_SEC_URLS;
    int level = 0;                        // UCF_LEVEL_IPV4, UCF_LEVEL_IPV6 or the label count
    std::string base;                     // raw address bytes, or the lower-cased host name
    std::string_view path;                // "" or from the first "/", as written
    std::vector<std::string_view> pieces; // the "&"-separated parameters, none empty
};

// Reads one trimmed, non-empty line. The views in e point into line.
ucfb_entry_rc ucfb_entry_parse(std::string_view line, ucfb_entry &e);

#endif
