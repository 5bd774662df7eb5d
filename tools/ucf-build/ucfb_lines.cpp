// The buffered line reader of list files. One read(2) per UCFB_READ_CHUNK
// bytes; a line is gathered up to one byte past UCFB_LINE_MAX and the rest
// of an over-long line is skipped, never stored.
#include "ucfb_lines.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A byte-order mark that some editors put before the first line.
constexpr std::string_view k_bom = "\xEF\xBB\xBF";

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view s)
{
    size_t b = 0, e = s.size();
    while (b < e && blank(s[b]))
        ++b;
    while (e > b && blank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

}  // namespace

ucfb_line_reader::~ucfb_line_reader()
{
    if (fd_ >= 0)
        close(fd_);
}

ucfb_rc ucfb_line_reader::open(const std::string &path, std::string &err)
{
    path_ = path;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        err = "cannot open " + path + ": " + strerror(errno);
        return UCFB_ERR_IO;
    }
    line_.reserve(UCFB_LINE_MAX + 1);
    return UCFB_OK;
}

bool ucfb_line_reader::refill()
{
    for (;;) {
        ssize_t r = read(fd_, buf_, sizeof buf_);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            error_ = "cannot read " + path_ + ": " + strerror(errno);
            return false;
        }
        pos_ = 0;
        len_ = static_cast<size_t>(r);
        eof_ = r == 0;
        return true;
    }
}

ucfb_line_kind ucfb_line_reader::next(std::string_view &text)
{
    for (;;) {
        line_.clear();
        size_t raw = 0;  // bytes of the line, whether kept or not
        bool nul = false, ended = false;
        while (!ended) {
            if (pos_ == len_) {
                if (eof_ || !refill())
                    return error_.empty() ? UCFB_LINE_END : UCFB_LINE_ERROR;
                if (eof_) {
                    if (raw == 0)
                        return UCFB_LINE_END;
                    break;  // a last line without a newline
                }
            }
            const char *start = buf_ + pos_;
            const char *nl = static_cast<const char *>(memchr(start, '\n', len_ - pos_));
            size_t take = nl ? static_cast<size_t>(nl - start) : len_ - pos_;
            if (memchr(start, '\0', take))
                nul = true;
            size_t room = UCFB_LINE_MAX + 1 - line_.size();
            line_.append(start, take < room ? take : room);
            raw += take;
            pos_ += take + (nl ? 1 : 0);
            ended = nl != nullptr;
        }
        ++number_;
        if (number_ == 1 && line_.compare(0, k_bom.size(), k_bom) == 0) {
            line_.erase(0, k_bom.size());
            raw -= k_bom.size();
        }
        if (raw > 0 && raw <= UCFB_LINE_MAX + 1 && line_.back() == '\r')
            --raw, line_.pop_back();
        if (raw > UCFB_LINE_MAX) {
            text = std::string_view(line_).substr(0, UCFB_QUOTE_MAX);
            return UCFB_LINE_TOO_LONG;
        }
        text = trimmed(line_);
        if (nul)
            return UCFB_LINE_NUL;
        if (text.empty() || text[0] == '#')
            continue;
        return UCFB_LINE_TEXT;
    }
}
