// Loading the configuration: the command line (at start-up), the choice of
// source, the parse of the text into a fresh configuration object, the
// checks that must pass before it is used, and the commit that makes it the
// configuration in force. Runs in the listener only. A load that fails
// leaves the configuration in force exactly as it was.
#ifndef TVX_CONFIG_CONFIG_LOAD_H
#define TVX_CONFIG_CONFIG_LOAD_H

#include <cstddef>
#include <string>

#include "config/icapd_config.h"

constexpr const char *ICAPD_VERSION_TEXT = "6.0.0.2";
constexpr const char *ICAPD_DEFAULT_CONFIG = "/usr/local/etc/tavex/tavex-icapd.ini";

// Start-up flags, set only by the command line. -d goes straight to the
// log module (log_set_extra_debug).
struct icapd_startup {
    bool check_only = false;  // --check-only: load, report, exit
    bool monitor = false;     // -m: foreground, readiness byte on stdout
    std::string source = ICAPD_DEFAULT_CONFIG;  // -f: file path, or agent address (has a colon)
};

extern icapd_startup g_startup;

// Examines the arguments left to right. -v/--version and -h/--help print
// and exit 0; a missing -f value or an unknown argument prints to stderr
// and exits 1.
void config_parse_command_line(int argc, char **argv);

// Start-up load: parses the command line, then loads from the source with
// the log live (log lines of the load go where the text has pointed the
// log so far) and commits. Throws std::exception carrying the message on
// failure; a MIME block with a syntax error ends the process with the
// block parser's status instead.
void config_load(int argc, char **argv);
// The same without the command line.
void config_load_first();

// Reload: loads the source chosen at start-up into a fresh object while
// the configuration in force keeps serving, and commits only when every
// step passed. Keys that only a restart can change (BindAddress, BindPort,
// User, PidFile) keep their running values, each difference logged at
// level 128. Throws std::exception carrying the message on failure; the
// configuration and the log in force are then untouched.
void config_reload();

// The common core for a file and the agent: registers the parameter table
// bound to c, reads exactly len bytes from fd with the timed read, parses
// them into c and runs the checks. Parse-stage errors are rethrown as
// "Error while parsing config file: " + message. A hard read error closes
// fd and sets it to -1.
void config_load_from_fd(icapd_config &c, int &fd, size_t len);

// The checks of the Cache directory a loaded configuration names: it
// exists, is a directory, belongs to the account the daemon runs as (User
// once privileges are dropped, otherwise the current user) and is not
// writable by others. Throws std::runtime_error naming what is wrong.
void config_check_cache(const icapd_config &c);

// Releases what a configuration that is not committed holds outside
// itself (the log file it opened).
void config_discard(icapd_config &c);

#endif
