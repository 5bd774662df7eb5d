// Scan-protocol client of icap-bench: blocking sockets bounded by
// SO_RCVTIMEO and SO_SNDTIMEO, the request sent with one call, the reply read
// through one fixed buffer. A count or length from the daemon is checked
// before anything is skipped by it; nothing is allocated by one.
#include "scan_client.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const uint32_t k_cmd_scan = 1;
const uint32_t k_code_cured_or_deleted = 0x80100;

void put_u32(std::string &out, uint32_t v)
{
    out.push_back(static_cast<char>(v >> 24));
    out.push_back(static_cast<char>(v >> 16));
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

}  // namespace

std::string scan_request_whole(uint32_t options, const std::string &body)
{
    std::string r;
    r.reserve(20 + body.size());
    put_u32(r, k_cmd_scan);
    put_u32(r, options);
    put_u32(r, 0);
    put_u32(r, 0);  // no path: the body follows
    put_u32(r, static_cast<uint32_t>(body.size()));
    r += body;
    return r;
}

std::string scan_result_text(int result, int err)
{
    const char *what = "?";
    switch (result) {
    case SCAN_OK: what = "ok"; break;
    case SCAN_CONNECT_FAILED: what = "connect"; break;
    case SCAN_SEND_FAILED: what = "send"; break;
    case SCAN_CLOSED: what = "connection closed before the reply ended"; break;
    case SCAN_TIMEOUT: what = "no complete reply within the time-out"; break;
    case SCAN_RECV_FAILED: what = "recv"; break;
    case SCAN_BEYOND_BOUNDS: what = "reply announces more than the bounds allow"; break;
    case SCAN_CURED_BODY: what = "reply carries a cured body (measure with a clean body)"; break;
    case SCAN_OUT_OF_STEP: what = "bytes after the end of the reply"; break;
    }
    std::string text = what;
    if (err && (result == SCAN_CONNECT_FAILED || result == SCAN_SEND_FAILED || result == SCAN_RECV_FAILED))
        text += std::string(": ") + strerror(err);
    return text;
}

scan_conn::~scan_conn() { close(); }

void scan_conn::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    start_ = end_ = 0;
}

int scan_conn::fail(int result)
{
    close();
    return result;
}

int scan_conn::open(const scan_target &t, int timeout_ms)
{
    close();
    err_ = 0;
    fd_ = socket(t.local ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        err_ = errno;
        return SCAN_CONNECT_FAILED;
    }
    // The send time-out bounds connect too.
    timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int c;
    if (t.local) {
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        if (t.path.size() >= sizeof sun.sun_path) {
            err_ = ENAMETOOLONG;
            return fail(SCAN_CONNECT_FAILED);
        }
        memcpy(sun.sun_path, t.path.data(), t.path.size());
        do
            c = connect(fd_, reinterpret_cast<const sockaddr *>(&sun), sizeof sun);
        while (c < 0 && errno == EINTR);
    } else {
        do
            c = connect(fd_, reinterpret_cast<const sockaddr *>(&t.addr), sizeof t.addr);
        while (c < 0 && errno == EINTR);
    }
    if (c != 0) {
        err_ = errno;
        return fail(SCAN_CONNECT_FAILED);
    }
    return SCAN_OK;
}

// Reads whatever has arrived into the free end of the buffer.
int scan_conn::fill()
{
    if (start_ == end_)
        start_ = end_ = 0;
    if (end_ == sizeof buf_) {
        memmove(buf_, buf_ + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    for (;;) {
        ssize_t n = recv(fd_, buf_ + end_, sizeof buf_ - end_, 0);
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            return SCAN_OK;
        }
        if (n == 0)
            return SCAN_CLOSED;
        if (errno == EINTR)
            continue;
        err_ = errno;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return SCAN_TIMEOUT;
        return errno == ECONNRESET ? SCAN_CLOSED : SCAN_RECV_FAILED;
    }
}

int scan_conn::take_u32(uint32_t &v)
{
    while (end_ - start_ < 4) {
        int r = fill();
        if (r != SCAN_OK)
            return r;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(buf_ + start_);
    v = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    start_ += 4;
    return SCAN_OK;
}

int scan_conn::skip(uint32_t len)
{
    while (len > 0) {
        if (start_ == end_) {
            int r = fill();
            if (r != SCAN_OK)
                return r;
        }
        size_t have = end_ - start_;
        size_t take = have < len ? have : len;
        start_ += take;
        len -= static_cast<uint32_t>(take);
    }
    return SCAN_OK;
}

int scan_conn::skip_texts(uint32_t count, uint32_t max_len, uint64_t &total)
{
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t len;
        int r = take_u32(len);
        if (r != SCAN_OK)
            return r;
        total += len;
        if (len > max_len || total > SCAN_MAX_TEXT)
            return SCAN_BEYOND_BOUNDS;
        r = skip(len);
        if (r != SCAN_OK)
            return r;
    }
    return SCAN_OK;
}

int scan_conn::scan(const std::string &request, uint32_t &code)
{
    err_ = 0;
    if (fd_ < 0)
        return SCAN_CLOSED;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err_ = errno;
            return fail(errno == EAGAIN || errno == EWOULDBLOCK ? SCAN_TIMEOUT : SCAN_SEND_FAILED);
        }
        sent += static_cast<size_t>(n);
    }
    uint32_t names, lines;
    uint64_t text = 0;
    int r = take_u32(code);
    if (r == SCAN_OK)
        r = take_u32(names);
    if (r == SCAN_OK)
        r = names > SCAN_MAX_NAMES ? SCAN_BEYOND_BOUNDS : skip_texts(names, SCAN_MAX_NAME, text);
    if (r == SCAN_OK)
        r = take_u32(lines);
    if (r == SCAN_OK)
        r = lines > SCAN_MAX_LINES ? SCAN_BEYOND_BOUNDS : skip_texts(lines, SCAN_MAX_LINE, text);
    if (r == SCAN_OK && (code & k_code_cured_or_deleted))
        r = SCAN_CURED_BODY;  // the cured body runs to the end of the stream
    if (r == SCAN_OK && start_ != end_)
        r = SCAN_OUT_OF_STEP;
    return r == SCAN_OK ? SCAN_OK : fail(r);
}
