// The listener loop: waits for connections with its signals deliverable
// only in that wait, reaps ended children, keeps the number of connection
// processes under MaxChildren, rides out accept failures for want of
// descriptors or memory, checks the peer, forks one connection process per
// connection and, while mail notifications are on, a periodic lock-file
// pass. Never reads from a connection itself.
#include "daemon/listener.h"

#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "daemon/client.h"
#include "daemon/hooks.h"
#include "daemon/keepalive.h"
#include "daemon/signals.h"
#include "log/log.h"

namespace {

constexpr time_t lock_pass_interval = 10;
// After accept failed for want of descriptors or memory, the listener
// waits this long before it tries again (the connection waits in the backlog).
constexpr long accept_retry_ns = 100 * 1000000L;

time_t last_lock_pass = 0;
pid_t lock_pass_pid = 0;  // the running lock-file pass, 0 when none
int live_children = 0;    // connection processes not yet reaped

// Forks a lock-file pass when notifications are on and the last pass is at
// least min(MailCache, 10) seconds old.
void maybe_check_lock_files()
{
    time_t now = time(nullptr);
    if (!(g_config.SendMail || g_config.SendMailUcfBlock) || g_config.MailCache == 0)
        return;
    time_t interval = g_config.MailCache < lock_pass_interval ? g_config.MailCache : lock_pass_interval;
    if (now <= last_lock_pass + interval)
        return;
    pid_t pid = fork();
    if (pid == 0) {
        // The pass must not keep the keepalive pipe open behind the
        // listener's back.
        keepalive_close();
        check_lock_files(now);
    }
    if (pid > 0)
        lock_pass_pid = pid;
    last_lock_pass = now;
}

// Reaps every ended child without waiting; connection processes leave
// the count.
void reap_children()
{
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
        if (pid == lock_pass_pid)
            lock_pass_pid = 0;
        else if (live_children > 0)
            --live_children;
    }
}

// Errors after which the next accept may well succeed: the connection went
// away before it was taken, or the network reported a pending error of
// that one connection.
bool accept_error_transient(int err)
{
    switch (err) {
    case EINTR:
    case EPROTO:
    case ECONNABORTED:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

// Errors of a process or system that has run out of descriptors or
// memory for the moment: accept is tried again after a pause.
bool accept_error_resource(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOBUFS;
}

// The forked half of a connection: drops what belongs to the listener and
// serves the connection.
[[noreturn]] void run_connection_process(int sockfd, int connfd)
{
    close(sockfd);
    keepalive_close_write_end();
    daemon_scan_close();
    try {
        client(connfd);
    } catch (const std::exception &e) {
        icapd_log(LOG_L_FLOW, "Error in client(): %s\n", e.what());
        exit(1);
    }
}

// SIGTERM: the shutdown of the listener (children still serving a request
// finish it).
[[noreturn]] void listener_shutdown()
{
    shutdown_cleanup();
    exit(0);
}

}  // namespace

int listener_loop(int sockfd, sockaddr *peer, socklen_t addrlen)
{
    sigset_t no_signals;
    sigemptyset(&no_signals);
    bool at_cap_logged = false;    // a client waiting at the cap was logged
    bool accept_failing = false;   // accept is failing for want of resources
    bool retry_pause = false;      // pause before the next accept

    for (;;) {
        if (signals_shutdown_requested())
            listener_shutdown();
        if (signals_take_child_ended())
            reap_children();
        maybe_check_lock_files();

        // At the cap nothing is accepted: new clients wait in the backlog
        // until a connection process ends. The first client that has to
        // wait is logged, once until the listener accepts again.
        bool at_cap = g_config.MaxChildren > 0 && live_children >= g_config.MaxChildren;
        bool watching = !retry_pause && (!at_cap || !at_cap_logged);

        fd_set listen_fds;
        FD_ZERO(&listen_fds);
        if (watching)
            FD_SET(sockfd, &listen_fds);
        struct timespec pause = {0, accept_retry_ns};
        int ret = pselect(sockfd + 1, &listen_fds, nullptr, nullptr, retry_pause ? &pause : nullptr, &no_signals);
        if (ret < 0) {
            if (errno == EINTR) {
                icapd_log(LOG_L_FLOW, "Signal received while waiting for connection\n");
                reload_configuration();
                continue;
            }
            icapd_log(LOG_L_ERROR, "pselect: %s\n", strerror(errno));
            unlink(g_config.PidFile.c_str());
            return 0;
        }
        if (ret == 0) {
            retry_pause = false;  // the pause is over: try accept again
            continue;
        }
        assert(ret == 1 && FD_ISSET(sockfd, &listen_fds));
        if (at_cap) {
            icapd_log(LOG_L_WARN, "%i connection processes (MaxChildren): new connections wait\n", live_children);
            at_cap_logged = true;
            continue;
        }

        // The connection is non-blocking from the start: every read and
        // write on it, sendfile included, then waits through poll with the
        // time-out instead of blocking on a client that stopped reading.
        socklen_t len = addrlen;
        int connfd = accept4(sockfd, peer, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (connfd < 0) {
            if (accept_error_transient(errno))
                continue;
            if (accept_error_resource(errno)) {
                // Logged once until accept works again.
                if (!accept_failing)
                    icapd_log(LOG_L_ERROR, "accept: %s\n", strerror(errno));
                accept_failing = true;
                retry_pause = true;
                continue;
            }
            icapd_log(LOG_L_ERROR, "accept: %s\n", strerror(errno));
            unlink(g_config.PidFile.c_str());
            return 0;
        }
        accept_failing = false;
        at_cap_logged = false;

        if (!daemon_peer_admitted(peer, len)) {
            close(connfd);
            continue;
        }

        // A pipe that could not be made at the last reload is made now.
        if (g_config.KeepAlive && !keepalive_is_open() && !keepalive_open())
            icapd_log(LOG_L_ERROR, "pipe error: %s\n", strerror(errno));
        pid_t pid = fork();
        if (pid == 0)
            run_connection_process(sockfd, connfd);
        if (pid < 0)
            icapd_log(LOG_L_ERROR, "fork: %s\n", strerror(errno));
        else
            ++live_children;
        close(connfd);
    }
}

void check_lock_files(time_t now)
{
    icapd_log(LOG_L_TRACE, "Start check for lock files...\n");
    const std::string &dir_name = g_config.Cache;
    DIR *dir = opendir(dir_name.c_str());
    if (!dir) {
        icapd_log(LOG_L_ERROR, "Can`t open dir %s: %s\n", dir_name.c_str(), strerror(errno));
        icapd_log(LOG_L_TRACE, "Stop checking\n");
        exit(0);
    }
    while (struct dirent *e = readdir(dir)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
            continue;
        if (strncmp(e->d_name, "lock.", 5) != 0)
            continue;
        std::string path = dir_name + e->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            icapd_log(LOG_L_ERROR, "Stat error for %s: %s\n", path.c_str(), strerror(errno));
            break;
        }
        if (now > st.st_mtime + g_config.MailCache) {
            icapd_log(LOG_L_FLOW, "Remove old lock file %s\n", path.c_str());
            unlink(path.c_str());
        }
    }
    closedir(dir);
    icapd_log(LOG_L_TRACE, "Stop checking\n");
    exit(0);
}
