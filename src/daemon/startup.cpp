// Start-up of tavex-icapd: locale, configuration, daemonising, the
// listening socket, the pid file, the parent's signals and the monitor
// handshake, in that order. Every failure here ends the process with its
// own status; nothing is retried.
#include "daemon/daemon.h"

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "config/config_load.h"
#include "config/icapd_config.h"
#include "daemon/hooks.h"
#include "daemon/keepalive.h"
#include "daemon/listener.h"
#include "daemon/signals.h"
#include "log/log.h"
#include "request/entity.h"
#include "request/request.h"
#include "util/fd.h"

namespace {

constexpr int listen_backlog = 1024;

// Opens path on descriptor target (which is closed); exits 2 on failure.
void reopen_std(int target, const char *path, int flags)
{
    int fd = open(path, flags);
    if (fd < 0)
        exit(2);
    if (fd != target) {
        if (dup2(fd, target) < 0)
            exit(2);
        close(fd);
    }
}

// Closes every descriptor below limit except keep. close_range spares a
// walk over a very large limit; the walk remains when it is refused.
void close_descriptors(unsigned long limit, int keep)
{
    if (limit == 0)
        return;
    unsigned last = limit - 1 > ~0u ? ~0u : static_cast<unsigned>(limit - 1);
    bool closed;
    if (keep < 0 || static_cast<unsigned>(keep) > last) {
        closed = close_range(0, last, 0) == 0;
    } else {
        unsigned k = static_cast<unsigned>(keep);
        closed = (k == 0 || close_range(0, k - 1, 0) == 0) && (k == last || close_range(k + 1, last, 0) == 0);
    }
    if (closed)
        return;
    for (unsigned long fd = 0; fd < limit; ++fd) {
        if (static_cast<int>(fd) != keep)
            close(static_cast<int>(fd));
    }
}

// Gives up root for the User account: the supplementary groups, the group
// id and the user id of that account, in that order, each checked. A
// daemon started as another user, or with User naming root, keeps what it
// has. The log file changes owner first, so that a reload can open it
// again. Every failure ends the process.
void drop_privileges()
{
    if (geteuid() != 0 || g_config.user_id == 0)
        return;
    int log_fd = log_destination();
    if (log_fd >= 0 && fchown(log_fd, g_config.user_id, g_config.group_id) != 0) {
        perror("failed change owner for log file");
        exit(3);
    }
    const uid_t uid = g_config.user_id;
    const gid_t gid = g_config.group_id;
    if (initgroups(g_config.User.c_str(), gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        icapd_log(LOG_L_ERROR, "failed to set privileges: %s\n", strerror(errno));
        exit(1);
    }
    // Nothing of root may be left: the ids are the account's and there is
    // no way back to uid 0 (the groups are the account's by initgroups).
    if (getuid() != uid || geteuid() != uid || getgid() != gid || getegid() != gid || setuid(0) == 0) {
        icapd_log(LOG_L_ERROR, "failed to set privileges: %s\n", "root privileges are still held");
        exit(1);
    }
}

// Detaches from the terminal: a new session in a child, no descriptor of
// the starting process left but the log file, standard streams on
// /dev/null, working directory "/".
void daemonise()
{
    log_syslog_close();
    set_signal_handler(SIGTTOU, SIG_IGN, false);
    set_signal_handler(SIGTTIN, SIG_IGN, false);
    set_signal_handler(SIGTSTP, SIG_IGN, false);

    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        icapd_log(LOG_L_ERROR, "rlimit error: %s\n", strerror(errno));
        exit(1);
    }

    pid_t pid = fork();
    if (pid < 0) {
        icapd_log(LOG_L_ERROR, "fork: %s\n", strerror(errno));
        exit(1);
    }
    if (pid != 0)
        exit(0);
    setsid();

    unsigned long limit = rl.rlim_cur == RLIM_INFINITY ? 1024 : static_cast<unsigned long>(rl.rlim_cur);
    close_descriptors(limit, log_destination());

    reopen_std(0, "/dev/null", O_RDONLY);
    reopen_std(1, "/dev/null", O_WRONLY);
    reopen_std(2, "/dev/null", O_WRONLY);
    if (chdir("/") != 0)
        exit(2);

    if (log_destination() == LOG_DEST_SYSLOG)
        log_syslog_reopen();
}

// Binds the first address of BindAddress:BindPort that accepts the bind
// and listens on it; *addrlen receives the bound address's length.
int tcp_listen(const char *host, const char *serv, socklen_t *addrlen)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    int n = getaddrinfo(host, serv, &hints, &res);
    if (n != 0) {
        icapd_log(LOG_L_ERROR, "getaddrinfo error for %s, %s: %s\n", host, serv, gai_strerror(n));
        exit(2);
    }

    int fd = -1;
    int bind_errno = 0;
    struct addrinfo *ai;
    for (ai = res; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            bind_errno = errno;
            continue;
        }
        const int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            icapd_log(LOG_L_ERROR, "setsockopt: %s\n", strerror(errno));
            exit(1);
        }
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0)
            break;
        bind_errno = errno;
        close(fd);
        fd = -1;
    }
    if (!ai) {
        icapd_log(LOG_L_ERROR, "tcp_listen error for %s, %s: %s\n", host, serv, strerror(bind_errno));
        exit(3);
    }
    if (listen(fd, listen_backlog) != 0) {
        icapd_log(LOG_L_ERROR, "listen: %s\n", strerror(errno));
        exit(1);
    }
    *addrlen = ai->ai_addrlen;
    freeaddrinfo(res);
    return fd;
}

// Writes the process id, without a newline; failures are only logged. A
// symbolic link at the pid file's name is not followed.
void write_pid_file()
{
    int fd = open(g_config.PidFile.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    FILE *f = fd < 0 ? nullptr : fdopen(fd, "w+");
    if (!f) {
        if (fd >= 0)
            close(fd);
        icapd_log(LOG_L_FLOW, "error in open pid file %s: %s\n", g_config.PidFile.c_str(), strerror(errno));
        return;
    }
    fprintf(f, "%d", static_cast<int>(getpid()));
    if (fclose(f) != 0)
        icapd_log(LOG_L_ERROR, "pid file error: %s\n", strerror(errno));
}

// Tells the monitor that start-up is over: one blank byte on stdout.
void notify_monitor()
{
    for (;;) {
        ssize_t w = write(1, " ", 1);
        if (w == 1)
            return;
        if (w < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        throw std::domain_error(std::string("error incommunicate with monitor: ") + strerror(errno));
    }
}


}  // namespace

int icapd_main(int argc, char **argv)
{
    if (!setlocale(LC_ALL, "")) {
        icapd_log(LOG_L_FLOW, "error in setlocale(): %s\n", strerror(errno));
        exit(1);
    }
    signals_install_alarm();
    fd_cloexec_inherited();

    try {
        config_load(argc, argv);
    } catch (const std::exception &e) {
        icapd_log(LOG_L_ERROR, "Error in tvxid_init(): %s\n", e.what());
        if (g_startup.check_only) {
            fprintf(stderr, "%s\n", e.what());
            printf("Options ERROR\n");
        }
        exit(1);
    }
    if (g_startup.check_only) {
        printf("Options OK\n");
        exit(0);
    }

    // Started by process 1 (an init system, a container) the daemon stays
    // in the foreground, but never keeps root: only monitor mode does.
    if (!g_startup.monitor) {
        if (getppid() != 1)
            daemonise();
        drop_privileges();
    }
    // Temp files of connection processes that were killed before they
    // could delete them, now that the files' owner is the process's.
    entity_temp_sweep(g_config.Cache);

    socklen_t addrlen = 0;
    int sockfd = tcp_listen(g_config.BindAddress.c_str(), g_config.BindPort.c_str(), &addrlen);
    sockaddr *peer = static_cast<sockaddr *>(malloc(addrlen));
    if (!peer) {
        icapd_log(LOG_L_ERROR, "malloc %i error\n", static_cast<int>(addrlen));
        exit(2);
    }

    write_pid_file();

    daemon_virus_count();
    daemon_scan_close();

    signals_setup_listener();
    icap_request_reset(g_request);

    if (g_config.KeepAlive && !keepalive_open()) {
        icapd_log(LOG_L_ERROR, "pipe error: %s\n", strerror(errno));
        exit(1);
    }

    if (g_startup.monitor)
        notify_monitor();

    if (!fd_set_nonblocking(sockfd)) {
        icapd_log(LOG_L_ERROR, "Error setting O_NONBLOCK for listening socket");
        exit(1);
    }

    icapd_log(LOG_L_INFO, "Start Tavex (R) icapd ver %s\n", ICAPD_VERSION_TEXT);
    int status = listener_loop(sockfd, peer, addrlen);
    free(peer);
    return status;
}
