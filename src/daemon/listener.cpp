// The listener loop: waits for connections with SIGHUP deliverable only in
// that wait, checks the peer, forks one connection process per connection
// and, while mail notifications are on, a periodic lock-file pass. Never
// reads from a connection itself.
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
#include <unistd.h>

#include "config/icapd_config.h"
#include "daemon/client.h"
#include "daemon/hooks.h"
#include "daemon/keepalive.h"
#include "daemon/signals.h"
#include "log/log.h"

namespace {

constexpr time_t lock_pass_interval = 10;

time_t last_lock_pass = 0;

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
    if (fork() == 0) {
        // The pass must not keep the keepalive pipe open behind the
        // listener's back.
        keepalive_close();
        check_lock_files(now);
    }
    last_lock_pass = now;
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

}  // namespace

int listener_loop(int sockfd, sockaddr *peer, socklen_t addrlen)
{
    sigset_t no_signals;
    sigemptyset(&no_signals);

    for (;;) {
        maybe_check_lock_files();

        fd_set listen_fds;
        FD_ZERO(&listen_fds);
        FD_SET(sockfd, &listen_fds);
        int ret = pselect(sockfd + 1, &listen_fds, nullptr, nullptr, nullptr, &no_signals);
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
        assert(ret == 1 && FD_ISSET(sockfd, &listen_fds));

        // The connection is non-blocking from the start: every read and
        // write on it, sendfile included, then waits through poll with the
        // time-out instead of blocking on a client that stopped reading.
        socklen_t len = addrlen;
        int connfd = accept4(sockfd, peer, &len, SOCK_NONBLOCK);
        if (connfd < 0) {
            if (accept_error_transient(errno))
                continue;
            icapd_log(LOG_L_ERROR, "accept: %s\n", strerror(errno));
            unlink(g_config.PidFile.c_str());
            return 0;
        }

        if (!daemon_peer_admitted(peer, len)) {
            close(connfd);
            continue;
        }

        pid_t pid = fork();
        if (pid == 0)
            run_connection_process(sockfd, connfd);
        if (pid < 0)
            icapd_log(LOG_L_ERROR, "fork: %s\n", strerror(errno));
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
        if (stat(path.c_str(), &st) != 0) {
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
