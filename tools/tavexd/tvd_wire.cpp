// Socket transfers of the stand-in scanning daemon: whole reads and writes on
// a non-blocking socket, each wait bounded by poll. Never allocates by a
// length the peer sent: draining uses one fixed block.
#include "tvd_wire.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

bool tvd_set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    return (flags & O_NONBLOCK) || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Waits for readiness; TVD_IO_OK when ready.
static int tvd_wait(int fd, short events, int timeout_ms)
{
    struct pollfd p = {fd, events, 0};
    for (;;) {
        int r = poll(&p, 1, timeout_ms);
        if (r > 0)
            return TVD_IO_OK;
        if (r == 0)
            return TVD_IO_TIMEOUT;
        if (errno != EINTR)
            return TVD_IO_ERROR;
    }
}

int tvd_read_full(int fd, void *buf, size_t len, int timeout_ms)
{
    char *p = static_cast<char *>(buf);
    size_t got = 0;
    while (got < len) {
        ssize_t n = recv(fd, p + got, len - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return TVD_IO_EOF;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return errno == ECONNRESET ? TVD_IO_EOF : TVD_IO_ERROR;
        int w = tvd_wait(fd, POLLIN, timeout_ms);
        if (w != TVD_IO_OK)
            return w;
    }
    return TVD_IO_OK;
}

int tvd_write_full(int fd, const void *buf, size_t len, int timeout_ms)
{
    const char *p = static_cast<const char *>(buf);
    size_t sent = 0;
    while (sent < len) {
        ssize_t n = send(fd, p + sent, len - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return TVD_IO_ERROR;
        int w = tvd_wait(fd, POLLOUT, timeout_ms);
        if (w != TVD_IO_OK)
            return w;
    }
    return TVD_IO_OK;
}

int tvd_read_u32(int fd, uint32_t *value, int timeout_ms)
{
    unsigned char b[4];
    int r = tvd_read_full(fd, b, sizeof b, timeout_ms);
    if (r == TVD_IO_OK)
        *value = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
    return r;
}

void tvd_put_u32(std::string &out, uint32_t value)
{
    out.push_back(static_cast<char>(value >> 24));
    out.push_back(static_cast<char>(value >> 16));
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value));
}

void tvd_put_text(std::string &out, const std::string &text)
{
    tvd_put_u32(out, static_cast<uint32_t>(text.size()));
    out += text;
}

int tvd_drain(int fd, uint64_t len, int timeout_ms)
{
    char block[16384];
    while (len > 0) {
        size_t want = len < sizeof block ? static_cast<size_t>(len) : sizeof block;
        int r = tvd_read_full(fd, block, want, timeout_ms);
        if (r != TVD_IO_OK)
            return r;
        len -= want;
    }
    return TVD_IO_OK;
}

void tvd_wait_for_close(int fd)
{
    char block[4096];
    for (;;) {
        ssize_t n = recv(fd, block, sizeof block, 0);
        if (n == 0)
            return;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return;
            if (tvd_wait(fd, POLLIN, -1) == TVD_IO_ERROR)
                return;
        }
    }
}
