// The connection process: the request loop on one ICAP connection, with the
// idle wait between requests on the connection and the keepalive pipe.
// Holds no state of its own beyond the request state and the line buffer.
#include "daemon/client.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "daemon/hooks.h"
#include "daemon/keepalive.h"
#include "daemon/signals.h"
#include "icap/handle.h"
#include "icap/reply.h"
#include "icap/request_head.h"
#include "io/io.h"
#include "log/log.h"
#include "request/entity.h"
#include "request/request.h"
#include "scan/scan_state.h"

namespace {

// Ends the connection process with status 0: deletes its temp files and
// closes the connection if it is still open. The kernel takes back the
// memory: releasing the configuration or running the exit handlers first
// would only copy the listener's pages into this process to free them.
[[noreturn]] void client_exit(int fd)
{
    icap_entities_release(g_request);
    if (fd >= 0)
        close(fd);
    _exit(0);
}

// What ended an idle wait.
enum idle_result { IDLE_REQUEST, IDLE_RETIRED };

// How long a retired process keeps reading after it announced the end of
// the connection.
constexpr int retire_linger_ms = 2000;

// An idle connection gives its scanning-daemon connection back after this
// long: the daemon serves a limited number of connections, and idle ICAP
// connections must not keep downloads from being scanned. Reconnecting
// costs about half a millisecond (docs/performance.md), once per pause.
constexpr int64_t scan_release_ms = 5000;

int64_t monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Ends a connection the client may still be sending on: the end is
// announced first, what arrives until the client closes (or for a short
// while) is read and dropped. Closing with unread data would reset the
// connection, and a reset can destroy the end of the last reply before the
// client has read it; this way the client reads the reply, then the end,
// and sends a request it lost again on a new connection.
void linger_close(int fd)
{
    if (shutdown(fd, SHUT_WR) != 0)
        return;
    char sink[4096];
    const int64_t end = monotonic_ms() + retire_linger_ms;
    for (;;) {
        int64_t left = end - monotonic_ms();
        if (left <= 0)
            return;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return;
        ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return;
    }
}

// Waits until the connection or the keepalive pipe is readable, for at
// most IdleTimeout seconds (0: without limit); after a few seconds of it
// the scanning-daemon connection is given back. Exits the process when the
// wait fails, the client goes away or stays silent that long. What the
// client sent is read straight into the line buffer.
// IDLE_RETIRED: the listener closed the pipe; *pending is set when the
// client had already sent its next request at that moment.
idle_result client_idle_wait(int fd, bool *pending)
{
    int pfd = keepalive_pipe[0];
    int maxfd = fd > pfd ? fd : pfd;
    icapd_log(LOG_L_TRACE, "Going for infinitely waiting for %i (%i/%i) descriptor...\n", fd, maxfd, pfd);

    const int64_t idle_end = g_config.IdleTimeout > 0 ? monotonic_ms() + g_config.IdleTimeout * 1000LL : 0;
    int64_t release_at = g_tvx.daemon_fd >= 0 ? monotonic_ms() + scan_release_ms : 0;
    *pending = false;
    for (;;) {
        struct pollfd p[2];
        p[0].fd = fd;
        p[1].fd = pfd;
        p[0].events = p[1].events = POLLIN;
        p[0].revents = p[1].revents = 0;
        int r;
        bool releasing = false;
        do {
            int64_t until = idle_end;
            releasing = release_at && (!until || release_at < until);
            if (releasing)
                until = release_at;
            int ms = -1;
            if (until) {
                int64_t left = until - monotonic_ms();
                ms = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
            }
            r = poll(p, pfd >= 0 ? 2 : 1, ms);
        } while (r < 0 && errno == EINTR);
        if (r == 0 && releasing) {
            daemon_scan_close();
            release_at = 0;
            continue;
        }
        if (r == 0 && idle_end) {
            icapd_log(LOG_L_TRACE, "ICAP client %s connection -> exit from process\n", "idle");
            client_exit(fd);
        }
        if (r > 0 && ((p[0].revents | p[1].revents) & POLLNVAL)) {
            errno = EBADF;
            r = -1;
        }
        if (r < 0) {
            icapd_log(LOG_L_ERROR, "error in select: %s\n", strerror(errno));
            client_exit(fd);
        }
        if (r == 0) {
            icapd_log(LOG_L_ERROR, "error in select: %s\n", "infinite timeout expired");
            client_exit(fd);
        }

        // End of file on the pipe shows as POLLHUP, a broken connection as
        // POLLERR or POLLHUP: each is "readable" for the wait.
        bool retired = pfd >= 0 && p[1].revents != 0;
        if (p[0].revents == 0)
            return IDLE_RETIRED;  // only the pipe can have woken the wait

        ssize_t n = readline_fill_now(fd);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (retired)
                return IDLE_RETIRED;
            continue;  // readiness was spurious: wait again
        }
        if (n <= 0) {
            icapd_log(LOG_L_TRACE, "ICAP client %s connection -> exit from process\n", n < 0 ? "reset" : "close");
            client_exit(fd);
        }
        *pending = true;
        return retired ? IDLE_RETIRED : IDLE_REQUEST;
    }
}

[[noreturn]] void client_retire(int fd)
{
    icapd_log(LOG_L_TRACE, "parent close his descriptor (%i) -> shutdown\n", keepalive_pipe[0]);
    icap_entities_release(g_request);
    if (fd >= 0)
        linger_close(fd);
    client_exit(fd);
}

}  // namespace

void client(int fd)
{
    signals_setup_connection();
    icapd_log(LOG_L_FLOW, "Start child process\n");

    if (g_config.KeepAlive) {
        const int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
            icapd_log(LOG_L_ERROR, "setsockopt: %s\n", strerror(errno));
    }

    int rc;
    bool close_requested;
    // Set once the listener has retired this process while a request of
    // the client was already on its way: that request is still answered,
    // then the process ends.
    bool retiring = false;
    for (;;) {
        g_request.request_time = time(nullptr);
        g_tvx.last_response_code = 0;
        rc = icap_read_request_head(fd);
        icapd_log(LOG_L_FLOW, "Gotta handle request, respcode: %i; (preview=%i)\n", rc, g_request.preview);
        if (rc == 1) {
            int handled = icap_handle(fd);
            if (handled == 200) {
                icapd_log(LOG_L_FLOW, "Request handled\n");
            } else {
                send_error_msg(fd, handled);
                icapd_log(LOG_L_FLOW, "Request handled with error\n");
            }
        } else {
            send_error_msg(fd, rc);
            icapd_log(LOG_L_FLOW, "Request handled with error\n");
        }
        close_requested = g_request.connection_close;
        icap_entities_release(g_request);

        // After a head the parser could not take (400, or 500 for want of
        // memory) the rest of that request is still unread.
        if (fd == -1 || !g_config.KeepAlive || close_requested || rc == 400 || rc == 500)
            break;
        icap_request_reset(g_request);
        if (retiring)
            client_retire(fd);
        if (!readline_empty())
            continue;  // a pipelined request is already buffered

        // Between requests only the idle wait runs, without time-out: an
        // alarm left armed by the last request must not end it.
        io_alarm_disarm();
        bool pending;
        if (client_idle_wait(fd, &pending) == IDLE_RETIRED) {
            if (!pending)
                client_retire(fd);
            retiring = true;
        }
    }
    icapd_log(LOG_L_TRACE, "exit cycle: %i %i %i %i\n", fd, g_config.KeepAlive ? 1 : 0, close_requested ? 1 : 0,
              rc == 400 ? 1 : 0);
    client_exit(fd);
}
