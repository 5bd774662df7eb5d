// JSON text of the stand-in agent: strings escaped so that any bytes a peer
// sends make valid JSON, and the one line a statistics record becomes.
// Knows nothing of sockets or files.
//
// Escaping: '"' and '\' get a backslash; every control byte (0x00-0x1F and
// 0x7F) is written as \u00XX; a well-formed UTF-8 sequence (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF) passes through as it
// is; every other byte at or above 0x80 is written alone as \u00XX. Since
// valid UTF-8 is never escaped, a \u0080-\u00FF in the output always stands
// for one raw byte of that value that was not UTF-8.
#ifndef AGT_JSON_H
#define AGT_JSON_H

#include <cstddef>
#include <string>

#include "agt_stat_record.h"

// Appends the bytes as one quoted JSON string.
void agt_json_string(std::string &out, const char *bytes, size_t n);

// The record as one JSON object and a newline, keys in this order:
//   {"kind":3,"quarantine":"...","threats":[{"name":"...","type":0},...]}
// and for kind 4, after "threats": "url":"...","url_threats":["...",...].
std::string agt_json_stat_line(const agt_stat_record &rec);

#endif
