// Diagnostics of the stand-in agent on stderr. Each line is built in one
// buffer and written with one call; a line longer than the buffer is cut.
#include "agt_log.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

void agt_log(const char *format, ...)
{
    char line[1024];
    int n = snprintf(line, sizeof line, "tavex-agent[%d]: ", static_cast<int>(getpid()));
    if (n < 0)
        return;
    va_list ap;
    va_start(ap, format);
    int m = vsnprintf(line + n, sizeof line - static_cast<size_t>(n), format, ap);
    va_end(ap);
    if (m < 0)
        return;
    size_t len = static_cast<size_t>(n) + static_cast<size_t>(m);
    if (len > sizeof line - 2)
        len = sizeof line - 2;
    line[len++] = '\n';
    ssize_t w = write(STDERR_FILENO, line, len);
    (void)w;
}
