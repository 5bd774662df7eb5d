// Diagnostics of the stand-in scanning daemon: one line per event on stderr,
// prefixed with the program name and process id. Errors are always written,
// notes only with --verbose.
#ifndef TVD_LOG_H
#define TVD_LOG_H

void tvd_log_set_verbose(bool on);
void tvd_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
void tvd_note(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
