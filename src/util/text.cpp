// Case-insensitive search, URL decoding and size-text conversion. Reads only the texts it
// is given and never writes outside its one result.
#include "util/text.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <strings.h>

const char *tvx_strcasestr(const char *text, const char *pattern)
{
    size_t plen = strlen(pattern);
    if (plen == 0)
        return text;
    int first = tolower(static_cast<unsigned char>(pattern[0]));
    for (const char *p = text; *p; ++p) {
        if (tolower(static_cast<unsigned char>(*p)) == first && strncasecmp(p, pattern, plen) == 0)
            return p;
    }
    return nullptr;
}

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

size_t tvx_url_decode(const char *in, size_t in_len, char *out, size_t cap)
{
    size_t o = 0;
    for (size_t i = 0; i < in_len && in[i] && o + 1 < cap; ++i) {
        char c = in[i];
        if (c == '+') {
            out[o++] = ' ';
            continue;
        }
        if (c == '%' && i + 2 < in_len) {
            int hi = hex_value(in[i + 1]);
            int lo = hi < 0 ? -1 : hex_value(in[i + 2]);
            if (lo >= 0) {
                out[o++] = static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out[o++] = c;
    }
    out[o] = '\0';
    return o;
}

int tvx_size_text(const char *text, unsigned long *size)
{
    size_t len = strlen(text);
    if (len == 0)
        return 0;
    if (strcasecmp(text, "inf") == 0) {
        *size = 0;
        return 200;
    }
    unsigned long unit;
    char last = text[len - 1];
    if (last == 'M' || last == 'm') {
        unit = 1048576;
        --len;
    } else if (last == 'K' || last == 'k') {
        unit = 1024;
        --len;
    } else if (last == 'B' || last == 'b') {
        unit = 1;
        --len;
    } else if (isdigit(static_cast<unsigned char>(last))) {
        unit = 1024;
    } else {
        return 0;
    }
    // The number must lead the text; a sign or blank is not a number.
    if (len == 0 || !isdigit(static_cast<unsigned char>(text[0])))
        return 0;
    unsigned long n = 0;
    for (size_t i = 0; i < len && isdigit(static_cast<unsigned char>(text[i])); ++i) {
        unsigned d = static_cast<unsigned>(text[i] - '0');
        if (n > (ULONG_MAX - d) / 10)
            return 0;
        n = n * 10 + d;
    }
    if (n > ULONG_MAX / unit)
        return 0;
    *size = n * unit;
    return 200;
}
