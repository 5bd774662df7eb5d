// Printable quotations of bytes that come from files: list lines in the
// reports, type strings and patterns in the dump. Formats only.
#ifndef TVX_UCFB_QUOTE_H
#define TVX_UCFB_QUOTE_H

#include <cstddef>
#include <string>
#include <string_view>

// s in double quotes, at most max bytes of it ("..." marks a cut); quotes,
// backslashes and bytes outside printable ASCII as C escapes.
std::string ucfb_quote(std::string_view s, size_t max);

// Lower-case hexadecimal of n bytes.
std::string ucfb_hex(const unsigned char *p, size_t n);

#endif
