// Reads a list file line by line through one fixed buffer: takes off a
// byte-order mark, the trailing "\r" and the blanks around each line, skips
// blank and "#" lines, and flags over-long lines and lines holding a NUL
// byte without ever keeping more than UCFB_LINE_MAX bytes of one.
#ifndef TVX_UCFB_LINES_H
#define TVX_UCFB_LINES_H

#include <cstddef>
#include <string>
#include <string_view>

#include "ucfb_limits.h"
#include "ucfb_result.h"

enum ucfb_line_kind {
    UCFB_LINE_TEXT,      // a line worth looking at, trimmed
    UCFB_LINE_TOO_LONG,  // longer than UCFB_LINE_MAX; text holds its start
    UCFB_LINE_NUL,       // holds a NUL byte
    UCFB_LINE_END,       // the file has no more lines
    UCFB_LINE_ERROR,     // reading failed; error() says why
};

class ucfb_line_reader {
public:
    ucfb_line_reader() = default;
    ~ucfb_line_reader();
    ucfb_line_reader(const ucfb_line_reader &) = delete;
    ucfb_line_reader &operator=(const ucfb_line_reader &) = delete;

    ucfb_rc open(const std::string &path, std::string &err);

    // The next line that is neither blank nor a comment. text stays valid
    // until the next call; number() is its line number, counted from 1.
    ucfb_line_kind next(std::string_view &text);
    size_t number() const { return number_; }
    const std::string &error() const { return error_; }

private:
    bool refill();

    int fd_ = -1;
    std::string path_;
    char buf_[UCFB_READ_CHUNK];
    size_t pos_ = 0, len_ = 0;
    bool eof_ = false;
    std::string line_;  // never more than UCFB_LINE_MAX + 1 bytes
    size_t number_ = 0;
    std::string error_;
};

#endif
