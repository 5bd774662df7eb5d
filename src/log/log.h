// The one logging call of the daemon, icapd_log, and the process-wide log
// destination it writes to (syslog, an append-only file, or nothing).
// Never allocates beyond the returned line and never fails its caller.
#ifndef TVX_LOG_LOG_H
#define TVX_LOG_LOG_H

#include <cstdarg>
#include <string>

// Message levels: 0 and 128 are always written, the others only when the
// LogLevel mask has their bits.
enum : unsigned {
    LOG_L_ERROR = 0,
    LOG_L_INFO = 1,
    LOG_L_FLOW = 2,
    LOG_L_CHUNK = 4,
    LOG_L_HEADERS = 16,
    LOG_L_TRACE = 32,
    LOG_L_WARN = 128,
};

// Destination states.
enum : int { LOG_DEST_CLOSED = -2, LOG_DEST_SYSLOG = -1 };

void icapd_log(unsigned level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void icapd_vlog(unsigned level, const char *format, va_list ap);

// The file-log form of a message: time stamp, program, pid, then the format
// expanded with the small conversion set %i %x %s %u (any other "%c" writes c).
std::string format_log_line(const char *format, ...);
std::string vformat_log_line(const char *format, va_list ap);

// Name printed for a level: ERROR, WARN, INFO or DEBUG.
const char *log_level_name(unsigned level);

// Settings pushed here by the configuration setters.
void log_set_level_mask(unsigned mask);
unsigned log_level_mask();
void log_set_syslog_facility(int facility);
void log_set_syslog_priority(int priority);
void log_set_extra_debug(bool on);
bool log_extra_debug();

// True when value names syslog rather than a log file ("syslog", any case).
bool log_value_is_syslog(const std::string &value);

// Opens a log file for appending (created with mode 0664, close-on-exec).
// A symbolic link as the last component is refused (ELOOP), so a file
// planted in the log directory never redirects the daemon's writes.
// Returns the descriptor, or -1 with errno set.
int log_open_file(const std::string &path);

// Makes fd (a descriptor from log_open_file) the log destination, or
// syslog with LOG_DEST_SYSLOG. The log file open until now is closed; the
// module owns fd from here on.
void log_install(int dest);

// LogFile as one step: closes the current file, then "syslog" (any case)
// selects syslog and anything else is opened with log_open_file. Throws
// std::runtime_error "failed to open logfile [path]: error" on failure,
// leaving the log closed.
void log_set_destination(const std::string &value);
// Closes an open log file and stops all log output.
void log_close();
int log_destination();

// True when a message of this level would be written anywhere (the
// destination or the -d echo): for callers that build costly texts only
// to log them.
bool log_enabled(unsigned level);

// Empties the log file when it has grown beyond max bytes (0 disables).
void log_truncate_check(unsigned long max);

// For signal handlers: writes one log line made of the given texts, with
// the level name and the usual prefix, using only async-signal-safe calls:
// the time stamp is computed from the clock and the local time offset
// seen by the last line the main flow formatted. Goes to the log file and
// the -d echo; with syslog as the destination only the echo is written
// (syslog itself is not safe in a handler).
void log_signal_safe(unsigned level, const char *const *texts, size_t count);

// The decimal text of v in buf (cap bytes, terminated), async-signal-safe:
// for the numbers a handler puts into its line. Returns buf.
const char *log_decimal_safe(char *buf, size_t cap, long v);

// Around the daemonising fork: drop and re-establish the syslog connection.
void log_syslog_close();
void log_syslog_reopen();

#endif
