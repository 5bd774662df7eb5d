// Small text helpers shared by every layer: case-insensitive search, URL
// percent-decoding and the size texts of the MIME rules. Pure functions; no
// I/O, no allocation.
#ifndef TVX_UTIL_TEXT_H
#define TVX_UTIL_TEXT_H

#include <cstddef>

// Position of the first occurrence of pattern in text, ignoring letter
// case, or nullptr. An empty pattern matches at the start of the text.
const char *tvx_strcasestr(const char *text, const char *pattern);

// Percent-decodes the first in_len bytes of in into out (cap bytes, at least
// 1): "%" and two hexadecimal digits (either case) become that byte, "+"
// becomes a blank, any other "%" is copied as written. Stops at a NUL byte
// of in and when out is full; out is always NUL-terminated. Returns the
// decoded length (at most cap - 1).
size_t tvx_url_decode(const char *in, size_t in_len, char *out, size_t cap);

// Converts a size text ("10M", "512" (KiB), "7b", "inf") to bytes.
// Returns 200 and stores the size, or 0 when the text is not a size or the
// size does not fit an unsigned long.
int tvx_size_text(const char *text, unsigned long *size);

#endif
