// Small text helpers shared by every layer: case-insensitive search and the
// size texts of the MIME rules. Pure functions; no I/O, no allocation.
#ifndef TVX_UTIL_TEXT_H
#define TVX_UTIL_TEXT_H

// Position of the first occurrence of pattern in text, ignoring letter
// case, or nullptr. An empty pattern matches at the start of the text.
const char *tvx_strcasestr(const char *text, const char *pattern);

// Converts a size text ("10M", "512" (KiB), "7b", "inf") to bytes.
// Returns 200 and stores the size, or 0 when the text is not a size or the
// size does not fit an unsigned long.
int tvx_size_text(const char *text, unsigned long *size);

#endif
