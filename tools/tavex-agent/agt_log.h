// Diagnostics of the stand-in agent: one line per event on stderr, prefixed
// with the program name and process id. Never writes anywhere else and never
// buffers, so the listener's lines and its children's never interleave.
#ifndef AGT_LOG_H
#define AGT_LOG_H

void agt_log(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
