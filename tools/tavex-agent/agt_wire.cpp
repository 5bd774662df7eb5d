// Socket transfers of the stand-in agent: the buffered reader, whole writes
// and the hold of a stalled connection. Every wait is one poll bounded by the
// deadline of the exchange; nothing here allocates by a peer's length.
#include "agt_wire.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>

const char *agt_io_text(int result)
{
    switch (result) {
    case AGT_IO_OK: return "ok";
    case AGT_IO_EOF: return "closed by the peer";
    case AGT_IO_ERROR: return "socket error";
    case AGT_IO_TIMEOUT: return "timed out";
    case AGT_IO_TOO_LONG: return "longer than allowed";
    }
    return "unknown result";
}

long long agt_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long long agt_deadline_after(unsigned seconds)
{
    return agt_now_ms() + static_cast<long long>(seconds) * 1000;
}

// Waits for readiness until the deadline; AGT_IO_OK when ready.
static int agt_wait(int fd, short events, long long deadline_ms)
{
    struct pollfd p = {fd, events, 0};
    for (;;) {
        long long left = deadline_ms - agt_now_ms();
        if (left <= 0)
            return AGT_IO_TIMEOUT;
        int r = poll(&p, 1, left > 60000 ? 60000 : static_cast<int>(left));
        if (r > 0)
            return AGT_IO_OK;
        if (r < 0 && errno != EINTR)
            return AGT_IO_ERROR;
    }
}

int agt_reader::fill()
{
    for (;;) {
        ssize_t n = recv(fd_, buf_, sizeof buf_, 0);
        if (n > 0) {
            pos_ = 0;
            len_ = static_cast<size_t>(n);
            return AGT_IO_OK;
        }
        if (n == 0)
            return AGT_IO_EOF;
        if (errno == EINTR)
            continue;
        if (errno == ECONNRESET)
            return AGT_IO_EOF;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return AGT_IO_ERROR;
        int w = agt_wait(fd_, POLLIN, deadline_);
        if (w != AGT_IO_OK)
            return w;
    }
}

int agt_reader::bytes(void *out, size_t n)
{
    char *p = static_cast<char *>(out);
    while (n > 0) {
        if (pos_ == len_) {
            int r = fill();
            if (r != AGT_IO_OK)
                return r;
        }
        size_t take = len_ - pos_ < n ? len_ - pos_ : n;
        memcpy(p, buf_ + pos_, take);
        pos_ += take;
        p += take;
        n -= take;
    }
    return AGT_IO_OK;
}

int agt_reader::u32(uint32_t &value)
{
    unsigned char b[4];
    int r = bytes(b, sizeof b);
    if (r == AGT_IO_OK)
        value = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    return r;
}

int agt_reader::text(std::string &out, uint32_t max, uint32_t &announced)
{
    int r = u32(announced);
    if (r != AGT_IO_OK)
        return r;
    if (announced > max)
        return AGT_IO_TOO_LONG;
    out.resize(announced);
    return announced ? bytes(&out[0], announced) : AGT_IO_OK;
}

int agt_write_all(int fd, const std::string &data, long long deadline_ms)
{
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return errno == EPIPE || errno == ECONNRESET ? AGT_IO_EOF : AGT_IO_ERROR;
        int w = agt_wait(fd, POLLOUT, deadline_ms);
        if (w != AGT_IO_OK)
            return w;
    }
    return AGT_IO_OK;
}

void agt_put_u32(std::string &out, uint32_t value)
{
    out.push_back(static_cast<char>(value >> 24));
    out.push_back(static_cast<char>(value >> 16));
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value));
}

void agt_hold_until_closed(int fd)
{
    char block[4096];
    for (;;) {
        ssize_t n = recv(fd, block, sizeof block, 0);
        if (n == 0)
            return;
        if (n > 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            return;
    }
}
