// Descriptor mode changes with their log lines (the listening socket and
// every scanning-daemon socket go through the same routine) and the
// complete write of a block to a file.
#include "util/fd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "log/log.h"

bool fd_set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        icapd_log(LOG_L_ERROR, "fcntl: error getting flags for fd %i: %s\n", fd, strerror(errno));
        return false;
    }
    if (flags & O_NONBLOCK) {
        icapd_log(LOG_L_TRACE, "fcntl: O_NONBLOCK is already set for fd %i\n", fd);
        return true;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        icapd_log(LOG_L_ERROR, "fcntl: error setting O_NONBLOCK flag for fd %i: %s\n", fd, strerror(errno));
        return false;
    }
    icapd_log(LOG_L_TRACE, "fcntl: successfully set O_NONBLOCK for fd %i\n", fd);
    return true;
}

bool fd_write_all(int fd, const void *buf, size_t n)
{
    const char *p = static_cast<const char *>(buf);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return false;
        if (w == 0) {
            errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void fd_cloexec_inherited()
{
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    // Kernels without it: a walk up to the soft limit (bounded).
    struct rlimit rl;
    rlim_t limit = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY ? rl.rlim_cur : 1024;
    if (limit > 65536)
        limit = 65536;
    for (rlim_t fd = 3; fd < limit; ++fd) {
        int flags = fcntl(static_cast<int>(fd), F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC))
            fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
    }
}
