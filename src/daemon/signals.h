// Signal handling of the listener and the connection processes: handler
// installation, the SIGTERM shutdown, the request time-out and the SIGHUP
// reload. The listener's signals (SIGHUP, SIGTERM, SIGCHLD) are blocked
// except in its wait and acted on by the listener loop, never by a handler.
#ifndef TVX_DAEMON_SIGNALS_H
#define TVX_DAEMON_SIGNALS_H

// Installs handler (or SIG_IGN / SIG_DFL) for sig with an empty mask and
// SA_NOCLDSTOP, plus SA_RESTART when restart is set. Exits 1 on failure.
void set_signal_handler(int sig, void (*handler)(int), bool restart);

// The time-out handler for SIGALRM; installed first thing at start-up. It
// writes the time-out line with async-signal-safe calls only, deletes the
// current temp file (a connection process) or the pid file (the listener)
// and ends the process with status 13.
void signals_install_alarm();

// The listener's set-up: SIGHUP, SIGTERM and SIGCHLD blocked (delivered
// only inside the connection wait) and flagged, SIGPIPE ignored.
void signals_setup_listener();

// A connection process's set-up: marks the process as one, ignores SIGHUP,
// restores the default SIGCHLD, makes the request deadline end the process
// with the time-out line and status 13, then unblocks every signal. SIGTERM
// deletes the current temp file and ends the process with status 0.
void signals_setup_connection();

// For the listener loop: true once when a child ended since the last call.
bool signals_take_child_ended();
// For the listener loop: SIGTERM arrived.
bool signals_shutdown_requested();

// True in a connection process (selects what shutdown_cleanup does).
bool is_connection_process();

// Listener: closes the keepalive pipe, removes the pid file and logs the
// shutdown line. Connection process: deletes the current temporary file.
void shutdown_cleanup();

// Runs a pending SIGHUP reload (nothing when none arrived): loads the
// configuration again and, when that succeeded, retires idle keep-alive
// processes, sweeps the temp files of killed processes and refreshes the
// virus-record count. A load that fails is logged and leaves the
// configuration in force serving.
void reload_configuration();

#endif
