// JSON strings and statistics lines of the stand-in agent (the escaping
// rules and the line's layout are in agt_json.h).
// Reads only the bytes it is given and never fails: every byte sequence has
// exactly one rendering.
#include "agt_json.h"

#include <cstdint>

#include "agt_proto.h"

// Length of the well-formed UTF-8 sequence at p (lead byte >= 0x80), or 0.
static size_t agt_utf8_length(const unsigned char *p, size_t left)
{
    unsigned char c = p[0];
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            lo = 0xA0;  // below is overlong
        if (c == 0xED)
            hi = 0x9F;  // above are the surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90;  // below is overlong
        if (c == 0xF4)
            hi = 0x8F;  // above is past U+10FFFF
    } else
        return 0;
    if (left < n || p[1] < lo || p[1] > hi)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return n;
}

static void agt_json_byte_escape(std::string &out, unsigned char c)
{
    static const char hex[] = "0123456789abcdef";
    out += "\\u00";
    out.push_back(hex[c >> 4]);
    out.push_back(hex[c & 15]);
}

void agt_json_string(std::string &out, const char *bytes, size_t n)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes);
    out.push_back('"');
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            agt_json_byte_escape(out, c);
            ++i;
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
        } else if (size_t len = agt_utf8_length(p + i, n - i)) {
            out.append(bytes + i, len);
            i += len;
        } else {
            agt_json_byte_escape(out, c);
            ++i;
        }
    }
    out.push_back('"');
}

static void agt_json_text(std::string &out, const std::string &s) { agt_json_string(out, s.data(), s.size()); }

std::string agt_json_stat_line(const agt_stat_record &rec)
{
    std::string out = "{\"kind\":" + std::to_string(rec.kind) + ",\"quarantine\":";
    agt_json_text(out, rec.quarantine);
    out += ",\"threats\":[";
    for (size_t i = 0; i < rec.threats.size(); ++i) {
        out += i ? ",{\"name\":" : "{\"name\":";
        agt_json_text(out, rec.threats[i].first);
        out += ",\"type\":" + std::to_string(rec.threats[i].second) + "}";
    }
    out += "]";
    if (rec.kind == AGT_STAT_KIND_URL) {
        out += ",\"url\":";
        agt_json_text(out, rec.url);
        out += ",\"url_threats\":[";
        for (size_t i = 0; i < rec.url_threats.size(); ++i) {
            if (i)
                out += ",";
            agt_json_text(out, rec.url_threats[i]);
        }
        out += "]";
    }
    out += "}\n";
    return out;
}
