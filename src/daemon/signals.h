// Signal handling of the listener and the connection processes: handler
// installation, child reaping, the SIGTERM shutdown, the SIGALRM time-out
// and the SIGHUP reload that runs from the listener loop, never from a
// handler.
#ifndef TVX_DAEMON_SIGNALS_H
#define TVX_DAEMON_SIGNALS_H

// Installs handler (or SIG_IGN / SIG_DFL) for sig with an empty mask and
// SA_NOCLDSTOP, plus SA_RESTART when restart is set. Exits 1 on failure.
void set_signal_handler(int sig, void (*handler)(int), bool restart);

// The time-out handler for SIGALRM; installed first thing at start-up.
void signals_install_alarm();

// The listener's set-up: SIGHUP blocked (delivered only inside the
// connection wait) and flagged, SIGCHLD reaped, SIGPIPE ignored, SIGTERM
// shuts down.
void signals_setup_listener();

// A connection process's set-up: marks the process as one, unblocks every
// signal, ignores SIGHUP and restores the default SIGCHLD.
void signals_setup_connection();

// True in a connection process (selects what shutdown_cleanup does).
bool is_connection_process();

// Listener: closes the keepalive pipe, removes the pid file and logs the
// shutdown line. Connection process: deletes the current temporary file.
void shutdown_cleanup();

// Runs a pending SIGHUP reload (nothing when none arrived): loads the
// configuration again and, when that succeeded, retires idle keep-alive
// processes and refreshes the virus-record count. A load that fails is
// logged and leaves the configuration in force serving.
void reload_configuration();

// Waitpid for every finished child without blocking.
void reap_children(int sig);

#endif
