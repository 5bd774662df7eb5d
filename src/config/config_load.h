// Loading the configuration into g_config: the command line (at start-up),
// the choice of source, the parse of the text, the finishing steps, and the
// reset that precedes a reload. Runs in the listener only; never serves a
// request from a partly loaded configuration (its callers exit on error).
#ifndef TVX_CONFIG_CONFIG_LOAD_H
#define TVX_CONFIG_CONFIG_LOAD_H

#include <cstddef>
#include <string>

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

// Start-up load: parses the command line, then loads from the source.
// Throws std::exception carrying the message on failure.
void config_load(int argc, char **argv);

// Reload: loads again from the source chosen at start-up, no command line.
// The caller has run config_reset and closed the log before.
void config_reload();

// The common core for a file and the agent: registers the parameter table
// (every default stored), reads exactly len bytes from fd with the timed
// read, parses them, logs the compiled expressions and runs the finishing
// steps. Parse-stage errors are rethrown as "Error while parsing config
// file: " + message. A hard read error closes fd and sets it to -1.
void config_load_from_fd(int &fd, size_t len);

// Empties what a load builds by appending: MIME rules (back to the
// built-in one), scanning-daemon and agent addresses, host lists, match
// blocks and the function table.
void config_reset();

#endif
