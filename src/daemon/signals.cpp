// Signal handling of the listener and the connection processes. Handlers
// only set a flag, or delete the published temp file, write a line built
// without allocation and end the process; the reload, the shutdown of the
// listener and the reaping of children run in the listener loop, where the
// blocked signals are delivered only inside its wait.
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
#include "request/published.h"
#include "request/request.h"

namespace {

volatile sig_atomic_t reload_requested = 0;
volatile sig_atomic_t shutdown_requested = 0;
volatile sig_atomic_t child_ended = 0;
volatile sig_atomic_t connection_process = 0;

// The pid file as the listener wrote it, for a handler that must remove it.
char pid_file_path[4096];

void on_sighup(int) { reload_requested = 1; }

void on_sigchld(int) { child_ended = 1; }

void on_sigterm(int)
{
    if (connection_process) {
        if (const char *path = request_published_temp_file())
            unlink(path);
        _exit(0);
    }
    shutdown_requested = 1;  // the listener loop shuts down
}

// The time-out line, the cleanup and the end with status 13, in the words
// of the main flow's time-out; every call here is async-signal-safe.
[[noreturn]] void timeout_exit_safe()
{
    char timeout[16];
    const char *url = request_published_url();
    const char *texts[] = {"timeout error in ipc (timeout=", log_decimal_safe(timeout, sizeof timeout, g_config.Timeout),
                           "; url=", url ? url : "?", ")\n"};
    log_signal_safe(LOG_L_ERROR, texts, sizeof texts / sizeof texts[0]);
    if (connection_process) {
        if (const char *path = request_published_temp_file())
            unlink(path);
    } else {
        keepalive_close();
        if (pid_file_path[0])
            unlink(pid_file_path);
    }
    _exit(13);
}

// SIGALRM: no wait of the daemon starts a timer, so an alarm comes from
// outside or from a blocking call a caller guarded with alarm().
void on_sigalrm(int) { timeout_exit_safe(); }

// A wait reached the request deadline: the stalled connection ends here,
// from the main flow.
[[noreturn]] void on_request_deadline()
{
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
    snprintf(pid_file_path, sizeof pid_file_path, "%s", g_config.PidFile.c_str());
    sigset_t waited;
    sigemptyset(&waited);
    sigaddset(&waited, SIGHUP);
    sigaddset(&waited, SIGTERM);
    sigaddset(&waited, SIGCHLD);
    mask_signals(SIG_BLOCK, &waited);
    set_signal_handler(SIGCHLD, on_sigchld, true);
    set_signal_handler(SIGPIPE, SIG_IGN, true);
    set_signal_handler(SIGHUP, on_sighup, false);
    set_signal_handler(SIGTERM, on_sigterm, true);
}

void signals_setup_connection()
{
    // The handlers are the connection's before the signals that waited
    // while the process was being forked are let through.
    connection_process = 1;
    set_signal_handler(SIGHUP, SIG_IGN, false);
    set_signal_handler(SIGCHLD, SIG_DFL, false);
    io_set_deadline_handler(on_request_deadline);
    sigset_t none;
    sigemptyset(&none);
    mask_signals(SIG_SETMASK, &none);
}

bool is_connection_process() { return connection_process != 0; }

bool signals_take_child_ended()
{
    if (!child_ended)
        return false;
    child_ended = 0;
    return true;
}

bool signals_shutdown_requested() { return shutdown_requested != 0; }

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
    // reload that switches KeepAlive on also gets one; should that fail,
    // the listener makes it before the next fork.
    keepalive_close();
    if (g_config.KeepAlive && !keepalive_open())
        icapd_log(LOG_L_ERROR, "pipe error: %s\n", strerror(errno));
    entity_temp_sweep(g_config.Cache);
    daemon_virus_count();
}
