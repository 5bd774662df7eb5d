// Timed socket I/O and the line buffer of the client connection. One
// buffer per process, since a connection process serves one connection;
// reads from other connections (scanning daemon, agent) never touch it.
// Socket transfers are tried first and wait for readiness only when they
// would block. No call here transfers a byte at a time.
#include "io/io.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log/log.h"

namespace {

int g_timeout = 60;

// Unread bytes of the client connection: data[pos, pos + count).
struct line_buffer {
    char data[IO_LINE_BUFFER_SIZE];
    size_t pos = 0;
    size_t count = 0;
    int fd = -1;  // the connection the bytes came from
};

line_buffer g_line;

// The request deadline (CLOCK_MONOTONIC ns, 0: none) and what to call
// when a wait reaches it.
int64_t alarm_deadline = 0;
void (*deadline_handler)() = nullptr;

int64_t monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Closes fd and forgets its buffered bytes: they belong to a dead connection.
void io_close(int &fd)
{
    if (fd == g_line.fd) {
        g_line.pos = g_line.count = 0;
        g_line.fd = -1;
    }
    close(fd);
    fd = -1;
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// One socket read or write that never waits: -1 with EAGAIN when it would,
// with ENOTSOCK when fd is no socket. Restarted while interrupted.
ssize_t io_try_transfer(int fd, char *buf, size_t len, bool reading)
{
    ssize_t r;
    do {
        // MSG_NOSIGNAL keeps a vanished peer from raising SIGPIPE.
        r = reading ? recv(fd, buf, len, MSG_DONTWAIT) : send(fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    return r;
}

// One read or write of a descriptor that is no socket (a pipe, a file),
// after its wait. Restarted while interrupted.
ssize_t io_plain_transfer(int fd, char *buf, size_t len, bool reading)
{
    ssize_t r;
    do {
        r = reading ? read(fd, buf, len) : write(fd, buf, len);
    } while (r < 0 && errno == EINTR);
    return r;
}

// Waits for fd within the time-out; false (logged) on error or time-out,
// which leave the connection open.
bool io_wait_logged(int fd, bool reading)
{
    const char *what = reading ? "read" : "write";
    int w = io_wait(fd, g_timeout < 1 ? -1 : g_timeout, reading);
    if (w < 0) {
        icapd_log(LOG_L_ERROR, "%s: error in select: %s\n", what, strerror(errno));
        return false;
    }
    if (w == 0) {
        icapd_log(LOG_L_FLOW, "%s: timeout error (after %i seconds)\n", what, g_timeout);
        return false;
    }
    return true;
}

// Fills the empty line buffer from fd, waiting within the time-out: the
// bytes read, 0 at end of data, -1 on error (errno set), -2 on time-out.
ssize_t fill_line_buffer(int fd)
{
    bool socket = true;
    for (;;) {
        ssize_t r;
        if (socket) {
            r = io_try_transfer(fd, g_line.data, sizeof g_line.data, true);
            if (r >= 0 || !(would_block(errno) || errno == ENOTSOCK))
                return r;
            socket = errno != ENOTSOCK;
        }
        int w = io_wait(fd, g_timeout < 1 ? -1 : g_timeout, true);
        if (w < 0)
            return -1;
        if (w == 0)
            return -2;
        if (socket)
            continue;
        r = io_plain_transfer(fd, g_line.data, sizeof g_line.data, true);
        if (r >= 0 || !would_block(errno))
            return r;
    }
}

}  // namespace

void io_set_timeout(int seconds) { g_timeout = seconds; }
int io_timeout() { return g_timeout; }

int io_wait(int fd, int seconds, bool reading)
{
    struct pollfd p;
    p.fd = fd;
    p.events = reading ? POLLIN : POLLOUT;
    p.revents = 0;
    int64_t now = monotonic_ns();
    int64_t end = seconds >= 0 ? now + static_cast<int64_t>(seconds) * 1000000000 : 0;
    bool deadline_first = alarm_deadline != 0 && (end == 0 || alarm_deadline < end);
    if (deadline_first)
        end = alarm_deadline;
    int r;
    for (;;) {
        int ms = -1;
        if (end != 0) {
            int64_t left = end - now;
            ms = left <= 0 ? 0 : left / 1000000 >= INT_MAX ? INT_MAX : static_cast<int>((left + 999999) / 1000000);
        }
        r = poll(&p, 1, ms);
        if (r >= 0 || errno != EINTR)
            break;
        now = monotonic_ns();  // a signal cut the wait short: wait for the time that is left
    }
    if (r == 0 && deadline_first && deadline_handler)
        deadline_handler();
    return r;
}

void io_alarm_arm(int seconds)
{
    if (seconds < 1)
        return;
    alarm_deadline = monotonic_ns() + static_cast<int64_t>(seconds) * 1000000000;
}

void io_alarm_disarm() { alarm_deadline = 0; }

void io_set_deadline_handler(void (*handler)()) { deadline_handler = handler; }

ssize_t safe_readwrite(int &fd, void *buf, size_t len, bool reading, bool use_readline)
{
    if (fd == g_line.fd)
        assert(!reading || use_readline || readline_empty());
    if (fd == -1)
        return -1;

    char *p = static_cast<char *>(buf);
    size_t done = 0;
    if (reading && use_readline && g_line.count > 0 && fd == g_line.fd) {
        done = len < g_line.count ? len : g_line.count;
        memcpy(p, g_line.data + g_line.pos, done);
        g_line.pos += done;
        g_line.count -= done;
    }

    bool socket = true;
    while (done < len) {
        ssize_t r;
        if (socket) {
            r = io_try_transfer(fd, p + done, len - done, reading);
            if (r < 0 && errno == ENOTSOCK) {
                socket = false;
                continue;
            }
            if (r < 0 && would_block(errno)) {
                if (!io_wait_logged(fd, reading))
                    return -1;
                continue;
            }
        } else {
            if (!io_wait_logged(fd, reading))
                return -1;
            r = io_plain_transfer(fd, p + done, len - done, reading);
            if (r < 0 && would_block(errno))
                continue;  // readiness was spurious: wait again
        }
        if (r < 0) {
            icapd_log(LOG_L_ERROR, "%s error: %s\n", reading ? "read" : "write", strerror(errno));
            io_close(fd);
            return -1;
        }
        if (r == 0)
            break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

ssize_t io_write_all(int &fd, const void *buf, size_t len)
{
    return safe_readwrite(fd, const_cast<void *>(buf), len, false, false);
}

ssize_t io_read_exact(int &fd, void *buf, size_t len, bool use_readline)
{
    return safe_readwrite(fd, buf, len, true, use_readline);
}

ssize_t io_write_u32(int &fd, uint32_t value)
{
    unsigned char b[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    return io_write_all(fd, b, sizeof b);
}

ssize_t io_read_u32(uint32_t &value, int &fd)
{
    unsigned char b[4];
    ssize_t r = io_read_exact(fd, b, sizeof b, false);
    if (r == static_cast<ssize_t>(sizeof b))
        value = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
                static_cast<uint32_t>(b[2]) << 8 | b[3];
    return r;
}

void io_drop(int &fd)
{
    if (fd < 0)
        return;
    readline_reset();
    close(fd);
    fd = -1;
}

bool readline_empty() { return g_line.count == 0; }

void readline_reset()
{
    g_line.pos = g_line.count = 0;
    g_line.fd = -1;
}

ssize_t readline_fill_now(int fd)
{
    assert(g_line.count == 0);
    ssize_t r;
    do {
        r = recv(fd, g_line.data, sizeof g_line.data, MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && errno == ENOTSOCK) {
        do {
            r = read(fd, g_line.data, sizeof g_line.data);
        } while (r < 0 && errno == EINTR);
    }
    if (r > 0) {
        g_line.pos = 0;
        g_line.count = static_cast<size_t>(r);
        g_line.fd = fd;
    }
    return r;
}

int readline(int &fd, char *buf, size_t cap, const char *tag)
{
    int result;
    size_t stored = 0;

    if (cap < 2) {
        if (cap == 1)
            buf[0] = '\0';
        result = 1;
        goto out;
    }
    while (stored < cap - 1) {
        if (g_line.count == 0) {
            if (fd < 0) {
                result = -1;
                goto out;
            }
            ssize_t r = fill_line_buffer(fd);
            if (r == -1) {
                icapd_log(LOG_L_ERROR, "readline error: %s\n", strerror(errno));
                io_close(fd);
                result = -1;
                goto out;
            }
            if (r <= 0) {  // end of data or time-out
                if (stored == 0) {
                    icapd_log(LOG_L_INFO, "ICAP client break connection\n");
                    io_close(fd);
                    result = 0;
                    goto out;
                }
                break;  // the line ends with what has come
            }
            g_line.pos = 0;
            g_line.count = static_cast<size_t>(r);
            g_line.fd = fd;
        }
        size_t room = cap - 1 - stored;
        size_t n = g_line.count < room ? g_line.count : room;
        const char *src = g_line.data + g_line.pos;
        const char *nl = static_cast<const char *>(memchr(src, '\n', n));
        if (nl)
            n = static_cast<size_t>(nl - src) + 1;
        memcpy(buf + stored, src, n);
        stored += n;
        g_line.pos += n;
        g_line.count -= n;
        if (nl)
            break;
    }
    result = stored > INT_MAX ? INT_MAX : static_cast<int>(stored);

out:
    if (cap > 0)
        buf[stored] = '\0';
    if (tag)
        icapd_log(LOG_L_TRACE, "%s '%s'\n", tag, cap > 0 ? buf : "");
    return result;
}
