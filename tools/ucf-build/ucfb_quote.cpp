// Escaping for terminal output: nothing read from a file reaches standard
// output or standard error unescaped.
#include "ucfb_quote.h"

std::string ucfb_quote(std::string_view s, size_t max)
{
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    size_t n = s.size() < max ? s.size() : max;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    if (n < s.size())
        out += "...";
    return out;
}

std::string ucfb_hex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}
