// clamd's socket protocol for tavexd: connect with a bounded wait, commands
// and replies as NUL-terminated text, FILDES and INSTREAM. Every read is
// bounded by TVD_CLAMD_MAX_REPLY and every wait by the caller's time-out.
#include "tvd_clamd_wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "tvd_wire.h"

namespace {

enum : size_t { TVD_CLAMD_CHUNK = 65536 };

int tvd_clamd_from_io(int io)
{
    switch (io) {
    case TVD_IO_OK: return TVD_CLAMD_OK;
    case TVD_IO_EOF: return TVD_CLAMD_CLOSED;
    case TVD_IO_TIMEOUT: return TVD_CLAMD_TIMEOUT;
    }
    return errno == EPIPE || errno == ECONNRESET ? TVD_CLAMD_SEND_CUT : TVD_CLAMD_IO_ERROR;
}

int tvd_clamd_wait(int fd, short events, int timeout_ms)
{
    struct pollfd p = {fd, events, 0};
    for (;;) {
        int r = poll(&p, 1, timeout_ms);
        if (r > 0)
            return TVD_CLAMD_OK;
        if (r == 0)
            return TVD_CLAMD_TIMEOUT;
        if (errno != EINTR)
            return TVD_CLAMD_IO_ERROR;
    }
}

// Connects fd to sa, waiting at most timeout_ms for a connection in progress.
int tvd_clamd_connect_to(int fd, const struct sockaddr *sa, socklen_t len, int timeout_ms)
{
    if (connect(fd, sa, len) == 0)
        return TVD_CLAMD_OK;
    if (errno == ECONNREFUSED || errno == ENOENT || errno == EAGAIN)
        return TVD_CLAMD_REFUSED;
    if (errno != EINPROGRESS && errno != EINTR)
        return TVD_CLAMD_IO_ERROR;
    int w = tvd_clamd_wait(fd, POLLOUT, timeout_ms);
    if (w != TVD_CLAMD_OK)
        return w;
    int soerr = 0;
    socklen_t sl = sizeof soerr;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl) != 0)
        return TVD_CLAMD_IO_ERROR;
    errno = soerr;
    if (soerr == 0)
        return TVD_CLAMD_OK;
    return soerr == ECONNREFUSED ? TVD_CLAMD_REFUSED : TVD_CLAMD_IO_ERROR;
}

} // namespace

const char *tvd_clamd_result_text(int result)
{
    switch (result) {
    case TVD_CLAMD_OK: return "ok";
    case TVD_CLAMD_REFUSED: return "clamd refused the connection";
    case TVD_CLAMD_CLOSED: return "clamd closed the connection before its reply";
    case TVD_CLAMD_TIMEOUT: return "clamd did not answer in time";
    case TVD_CLAMD_TOO_LONG: return "clamd's reply is too long";
    case TVD_CLAMD_SEND_CUT: return "clamd stopped reading the object";
    }
    return "socket error talking to clamd";
}

int tvd_clamd_connect(const tvd_listener &addr, int timeout_ms, int &result, std::string &error)
{
    int fd = -1;
    if (addr.local) {
        struct sockaddr_un sun;
        memset(&sun, 0, sizeof sun);
        sun.sun_family = AF_UNIX;
        strncpy(sun.sun_path, addr.host.c_str(), sizeof sun.sun_path - 1);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        result = fd < 0 ? TVD_CLAMD_IO_ERROR
                        : tvd_clamd_connect_to(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun, timeout_ms);
    } else {
        struct addrinfo hints, *ai = nullptr;
        memset(&hints, 0, sizeof hints);
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        int gr = getaddrinfo(addr.host.c_str(), addr.port.c_str(), &hints, &ai);
        if (gr != 0) {
            result = TVD_CLAMD_IO_ERROR;
            error = "cannot resolve " + addr.host + ": " + gai_strerror(gr);
            return -1;
        }
        result = TVD_CLAMD_REFUSED;
        for (struct addrinfo *a = ai; a && fd < 0; a = a->ai_next) {
            fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0)
                continue;
            result = tvd_clamd_connect_to(fd, a->ai_addr, a->ai_addrlen, timeout_ms);
            if (result != TVD_CLAMD_OK) {
                close(fd);
                fd = -1;
            }
        }
        freeaddrinfo(ai);
    }
    if (result != TVD_CLAMD_OK) {
        int err = errno;
        if (fd >= 0)
            close(fd);
        error = std::string(tvd_clamd_result_text(result)) + " at " + (addr.local ? addr.host : addr.port + "@" + addr.host);
        if (result == TVD_CLAMD_IO_ERROR || result == TVD_CLAMD_REFUSED)
            error += std::string(": ") + strerror(err);
        return -1;
    }
    return fd;
}

int tvd_clamd_command(int sock, const char *command, int timeout_ms)
{
    return tvd_clamd_from_io(tvd_write_full(sock, command, strlen(command) + 1, timeout_ms));
}

int tvd_clamd_send_fd(int sock, int fd, int timeout_ms)
{
    char byte = 0;
    struct iovec iov = {&byte, 1};
    union {
        char buf[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } ctl;
    memset(&ctl, 0, sizeof ctl);
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctl.buf;
    msg.msg_controllen = sizeof ctl.buf;
    struct cmsghdr *cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(cm), &fd, sizeof fd);
    for (;;) {
        if (sendmsg(sock, &msg, MSG_NOSIGNAL) == 1)
            return TVD_CLAMD_OK;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return errno == EPIPE || errno == ECONNRESET ? TVD_CLAMD_SEND_CUT : TVD_CLAMD_IO_ERROR;
        int w = tvd_clamd_wait(sock, POLLOUT, timeout_ms);
        if (w != TVD_CLAMD_OK)
            return w;
    }
}

int tvd_clamd_stream(int sock, int fd, uint64_t size, int timeout_ms)
{
    std::vector<unsigned char> chunk(4 + TVD_CLAMD_CHUNK);
    uint64_t off = 0;
    while (off < size) {
        size_t want = size - off < TVD_CLAMD_CHUNK ? static_cast<size_t>(size - off) : TVD_CLAMD_CHUNK;
        ssize_t n = pread(fd, chunk.data() + 4, want, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return TVD_CLAMD_IO_ERROR;  // the object shrank or cannot be read
        uint32_t len = htonl(static_cast<uint32_t>(n));
        memcpy(chunk.data(), &len, 4);
        int r = tvd_clamd_from_io(tvd_write_full(sock, chunk.data(), 4 + static_cast<size_t>(n), timeout_ms));
        if (r != TVD_CLAMD_OK)
            return r;
        off += static_cast<uint64_t>(n);
    }
    static const unsigned char end[4] = {0, 0, 0, 0};
    return tvd_clamd_from_io(tvd_write_full(sock, end, 4, timeout_ms));
}

int tvd_clamd_read_reply(int sock, std::string &reply, int timeout_ms)
{
    char buf[TVD_CLAMD_MAX_REPLY];
    size_t got = 0;
    int result = TVD_CLAMD_TOO_LONG;
    while (got < sizeof buf) {
        ssize_t n = recv(sock, buf + got, sizeof buf - got, 0);
        if (n > 0) {
            const void *nul = memchr(buf + got, '\0', static_cast<size_t>(n));
            got += static_cast<size_t>(n);
            if (nul) {
                got = static_cast<size_t>(static_cast<const char *>(nul) - buf);
                result = TVD_CLAMD_OK;
                break;
            }
            continue;
        }
        if (n == 0 || errno == ECONNRESET) {
            // A reply cut short is one clamd did not finish: only whole text counts.
            result = got > 0 && buf[got - 1] == '\n' ? TVD_CLAMD_OK : TVD_CLAMD_CLOSED;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            result = TVD_CLAMD_IO_ERROR;
            break;
        }
        int w = tvd_clamd_wait(sock, POLLIN, timeout_ms);
        if (w != TVD_CLAMD_OK) {
            result = w;
            break;
        }
    }
    while (got > 0 && (buf[got - 1] == '\n' || buf[got - 1] == '\0'))
        --got;
    reply.assign(buf, got);
    return result;
}
