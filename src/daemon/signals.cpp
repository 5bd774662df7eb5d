// Signal handlers and the reload sequence. Handlers only set a flag or end
// the process; the reload itself runs synchronously from the listener loop.
#include "daemon/signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sys/wait.h>
#include <unistd.h>

#include "config/config_load.h"
#include "config/icapd_config.h"
#include "daemon/hooks.h"
#include "daemon/keepalive.h"
#include "io/io.h"
#include "log/log.h"
#include "request/entity.h"
#include "request/request.h"

namespace {

volatile sig_atomic_t reload_requested = 0;
bool connection_process = false;

void on_sighup(int) { reload_requested = 1; }

void on_sigterm(int)
{
    shutdown_cleanup();
    _exit(0);
}

void on_sigalrm(int)
{
    // The timer may have been started for an earlier deadline of this
    // request: then the client has made progress since, and the process
    // goes on.
    int saved = errno;
    if (io_alarm_early()) {
        errno = saved;
        return;
    }
    const char *url = g_request.url_string.empty() ? "?" : g_request.url_string.c_str();
    icapd_log(LOG_L_ERROR, "timeout error in ipc (timeout=%i; url=%s)\n", g_config.Timeout, url);
    shutdown_cleanup();
    _exit(13);
}

void mask_signals(int how, const sigset_t *set)
{
    if (sigprocmask(how, set, nullptr) != 0) {
        icapd_log(LOG_L_ERROR, "Error in sigprocmask: %s\n", strerror(errno));
        exit(1);
    }
}

}  // namespace

void set_signal_handler(int sig, void (*handler)(int), bool restart)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_NOCLDSTOP;
    if (restart)
        sa.sa_flags |= SA_RESTART;
    if (sigaction(sig, &sa, nullptr) != 0) {
        perror("sigaction");
        exit(1);
    }
}

void signals_install_alarm() { set_signal_handler(SIGALRM, on_sigalrm, true); }

void signals_setup_listener()
{
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    mask_signals(SIG_BLOCK, &hup);
    set_signal_handler(SIGCHLD, reap_children, true);
    set_signal_handler(SIGPIPE, SIG_IGN, true);
    set_signal_handler(SIGHUP, on_sighup, false);
    set_signal_handler(SIGTERM, on_sigterm, true);
}

void signals_setup_connection()
{
    connection_process = true;
    sigset_t none;
    sigemptyset(&none);
    mask_signals(SIG_SETMASK, &none);
    set_signal_handler(SIGHUP, SIG_IGN, false);
    set_signal_handler(SIGCHLD, SIG_DFL, false);
}

bool is_connection_process() { return connection_process; }

void reap_children(int)
{
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

void shutdown_cleanup()
{
    if (connection_process) {
        if (const char *path = request_published_temp_file())
            unlink(path);
        return;
    }
    keepalive_close();
    unlink(g_config.PidFile.c_str());
    icapd_log(LOG_L_INFO, "Tavex (R) icapd shutdown\n");
}

void reload_configuration()
{
    if (!reload_requested)
        return;
    reload_requested = 0;
    icapd_log(LOG_L_INFO, "Received SIGHUP signal\n");
    daemon_scan_close();

    try {
        config_reload();
    } catch (const std::exception &e) {
        // The configuration in force goes on serving; the administrator
        // learns from its log why the new text was refused.
        icapd_log(LOG_L_ERROR, "Error in tvxid_init(): %s\n", e.what());
        return;
    }

    // Idle keep-alive processes see end of file on the pipe and exit; busy
    // ones exit after their current request. The pipe for the connections
    // to come is made once the new KeepAlive value is known, so that a
    // reload that switches KeepAlive on also gets one.
    keepalive_close();
    if (g_config.KeepAlive && !keepalive_open()) {
        icapd_log(LOG_L_ERROR, "pipe error: %s\n", strerror(errno));
        exit(1);
    }
    daemon_virus_count();
}
