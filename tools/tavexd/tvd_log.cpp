// Diagnostics of the stand-in scanning daemon on stderr. Each line is built
// in one buffer and written with one call so that lines of the listener and
// its connection processes never interleave.
#include "tvd_log.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

static bool tvd_verbose = false;

void tvd_log_set_verbose(bool on)
{
    tvd_verbose = on;
}

static void tvd_vlog(const char *format, va_list ap)
{
    char line[1024];
    int n = snprintf(line, sizeof line, "tavexd[%d]: ", static_cast<int>(getpid()));
    if (n < 0)
        return;
    int m = vsnprintf(line + n, sizeof line - static_cast<size_t>(n), format, ap);
    if (m < 0)
        return;
    size_t len = static_cast<size_t>(n) + static_cast<size_t>(m);
    if (len > sizeof line - 2)
        len = sizeof line - 2;
    line[len++] = '\n';
    ssize_t w = write(STDERR_FILENO, line, len);
    (void)w;
}

void tvd_error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    tvd_vlog(format, ap);
    va_end(ap);
}

void tvd_note(const char *format, ...)
{
    if (!tvd_verbose)
        return;
    va_list ap;
    va_start(ap, format);
    tvd_vlog(format, ap);
    va_end(ap);
}
