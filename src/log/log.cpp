// Formats and writes log lines: level filtering by the LogLevel mask, the
// file-line format, syslog hand-over and the -d echo. One write per line;
// every buffer is bounded and lives on the stack.
#include "log/log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "log/process_id.h"

namespace {

struct log_state {
    int dest = LOG_DEST_CLOSED;
    unsigned mask = 1;
    int facility = 8;  // LOG_USER
    int priority = 6;  // LOG_INFO
    bool extra_debug = false;
};

log_state g_log;

const char *const syslog_ident = "tavex-icapd ";

// The local time offset (seconds east of UTC) of the last time stamp the
// main flow formatted, for the stamps of signal handlers.
volatile long g_gmtoff = 0;

// Notes the local time offset of now.
void note_gmtoff()
{
    time_t now = time(nullptr);
    struct tm tmv;
    if (localtime_r(&now, &tmv))
        g_gmtoff = tmv.tm_gmtoff;
}
constexpr size_t line_limit = 10000;
constexpr size_t text_limit = 20000;

// Appends to a bounded buffer; what does not fit is cut off.
struct bounded_out {
    char *buf;
    size_t cap;  // usable bytes, excluding the terminating NUL
    size_t len = 0;

    void put(const char *s, size_t n)
    {
        if (len >= cap)
            return;
        if (n > cap - len)
            n = cap - len;
        memcpy(buf + len, s, n);
        len += n;
    }
    void put(const char *s) { put(s, strlen(s)); }
};

void write_all_fd(int fd, const char *s, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, s, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return;  // write errors are ignored
        }
        s += w;
        n -= static_cast<size_t>(w);
    }
}

}  // namespace

const char *log_level_name(unsigned level)
{
    if (level == 0)
        return "ERROR";
    if (level & 128)
        return "WARN";
    if (level & 1)
        return "INFO";
    return "DEBUG";
}

std::string vformat_log_line(const char *format, va_list ap)
{
    char line[line_limit + 1];
    bounded_out out{line, line_limit};

    time_t now = time(nullptr);
    struct tm tmv;
    char stamp[64] = "";
    if (localtime_r(&now, &tmv)) {
        g_gmtoff = tmv.tm_gmtoff;
        char tbuf[64];
        if (asctime_r(&tmv, tbuf)) {
            size_t n = strlen(tbuf);
            if (n > 0 && tbuf[n - 1] == '\n')
                tbuf[n - 1] = '\0';
            snprintf(stamp, sizeof stamp, "%s", tbuf);
        }
    }
    char prefix[128];
    snprintf(prefix, sizeof prefix, "%s %s (%i): ", stamp, "tavex-icapd", static_cast<int>(tvx_process_id()));
    out.put(prefix);

    char num[32];
    for (const char *p = format; *p && out.len < out.cap; ++p) {
        if (*p != '%') {
            const char *q = strchr(p, '%');
            size_t n = q ? static_cast<size_t>(q - p) : strlen(p);
            out.put(p, n);
            p += n - 1;
            continue;
        }
        ++p;
        switch (*p) {
        case '\0':
            --p;  // a lone trailing per cent sign writes nothing
            break;
        case 'i':
            snprintf(num, sizeof num, "%d", va_arg(ap, int));
            out.put(num);
            break;
        case 'u':
            snprintf(num, sizeof num, "%u", va_arg(ap, unsigned));
            out.put(num);
            break;
        case 'x':
            snprintf(num, sizeof num, "0x%x", va_arg(ap, unsigned));
            out.put(num);
            break;
        case 's': {
            const char *s = va_arg(ap, const char *);
            out.put(s ? s : "(null)");
            break;
        }
        case 'l':
            // Length modifiers are not expanded: "%li" is written as "li".
            // The long argument is still consumed so that the conversions
            // after it read their own arguments.
            if (p[1] && strchr("iudx", p[1])) {
                (void)va_arg(ap, long);
                out.put(p, 2);
                ++p;
            } else {
                out.put(p, 1);
            }
            break;
        default:
            out.put(p, 1);
            break;
        }
    }
    return std::string(line, out.len);
}

std::string format_log_line(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string s = vformat_log_line(format, ap);
    va_end(ap);
    return s;
}

namespace {

bool level_passes(unsigned level)
{
    return g_log.dest != LOG_DEST_CLOSED && g_log.mask != 0xFFFFFFFFu && ((level & ~128u) & ~g_log.mask) == 0;
}

}  // namespace

bool log_enabled(unsigned level) { return g_log.extra_debug || level_passes(level); }

void icapd_vlog(unsigned level, const char *format, va_list ap)
{
    bool passes = level_passes(level);
    if (!passes) {
        if (g_log.extra_debug) {
            va_list cp;
            va_copy(cp, ap);
            std::string s = std::string(log_level_name(level)) + " " + vformat_log_line(format, cp);
            va_end(cp);
            write_all_fd(2, s.data(), s.size());
        }
        return;
    }

    char text[text_limit];
    snprintf(text, sizeof text, "%s %s", log_level_name(level), format);

    if (g_log.extra_debug) {
        va_list cp;
        va_copy(cp, ap);
        std::string s = vformat_log_line(text, cp);
        va_end(cp);
        write_all_fd(2, s.data(), s.size());
    }
    if (g_log.dest == LOG_DEST_SYSLOG) {
        va_list cp;
        va_copy(cp, ap);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        vsyslog(g_log.facility | g_log.priority, text, cp);
#pragma GCC diagnostic pop
        va_end(cp);
    } else if (g_log.dest >= 0) {
        va_list cp;
        va_copy(cp, ap);
        std::string s = vformat_log_line(text, cp);
        va_end(cp);
        write_all_fd(g_log.dest, s.data(), s.size());
    }
}

void icapd_log(unsigned level, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    icapd_vlog(level, format, ap);
    va_end(ap);
}

void log_set_level_mask(unsigned mask) { g_log.mask = mask; }
unsigned log_level_mask() { return g_log.mask; }
void log_set_syslog_facility(int facility) { g_log.facility = facility; }
void log_set_syslog_priority(int priority) { g_log.priority = priority; }
void log_set_extra_debug(bool on) { g_log.extra_debug = on; }
bool log_extra_debug() { return g_log.extra_debug; }
int log_destination() { return g_log.dest; }

void log_close()
{
    if (g_log.dest >= 0)
        close(g_log.dest);
    g_log.dest = LOG_DEST_CLOSED;
}

bool log_value_is_syslog(const std::string &value) { return strcasecmp(value.c_str(), "syslog") == 0; }

int log_open_file(const std::string &path)
{
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0664);
}

void log_install(int dest)
{
    note_gmtoff();
    if (g_log.dest >= 0 && g_log.dest != dest)
        close(g_log.dest);
    if (dest == LOG_DEST_SYSLOG)
        openlog(syslog_ident, LOG_PID, 0);
    g_log.dest = dest;
}

void log_set_destination(const std::string &value)
{
    log_close();
    if (log_value_is_syslog(value)) {
        log_install(LOG_DEST_SYSLOG);
        return;
    }
    int fd = log_open_file(value);
    if (fd < 0)
        throw std::runtime_error("failed to open logfile [" + value + "]: " + strerror(errno));
    log_install(fd);
}

void log_truncate_check(unsigned long max)
{
    if (max == 0 || g_log.dest < 0)
        return;
    struct stat st;
    if (fstat(g_log.dest, &st) != 0) {
        icapd_log(0, "Error in fstat on log file: %s\n", strerror(errno));
        return;
    }
    if (static_cast<unsigned long>(st.st_size) > max && ftruncate(g_log.dest, 0) != 0)
        icapd_log(0, "Error in truncate log file: %s\n", strerror(errno));
}

namespace {

// Appends text to a bounded buffer without allocating.
void safe_put(char *buf, size_t cap, size_t &len, const char *text)
{
    while (*text && len < cap)
        buf[len++] = *text++;
}

void safe_put_number(char *buf, size_t cap, size_t &len, long v, int width, char pad)
{
    char digits[24];
    int n = 0;
    bool negative = v < 0;
    unsigned long u = negative ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u && n < 20);
    if (negative)
        digits[n++] = '-';
    for (int i = n; i < width && len < cap; ++i)
        buf[len++] = pad;
    while (n > 0 && len < cap)
        buf[len++] = digits[--n];
}

// The asctime form of local time t ("Thu Dec 10 12:38:09 2026"), from the
// civil calendar of the days since the epoch.
void safe_put_stamp(char *buf, size_t cap, size_t &len, long long t)
{
    static const char *const days[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    long long day = t >= 0 ? t / 86400 : (t - 86399) / 86400;
    long secs = static_cast<long>(t - day * 86400);
    // Days to year, month, day (proleptic Gregorian).
    long long z = day + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long d = static_cast<long>(doy - (153 * mp + 2) / 5 + 1);
    long m = static_cast<long>(mp < 10 ? mp + 3 : mp - 9);
    long y = static_cast<long>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    long wd = static_cast<long>(((day % 7) + 7) % 7);
    safe_put(buf, cap, len, days[wd]);
    safe_put(buf, cap, len, " ");
    safe_put(buf, cap, len, months[m - 1]);
    safe_put_number(buf, cap, len, d, 3, ' ');
    safe_put(buf, cap, len, " ");
    safe_put_number(buf, cap, len, secs / 3600, 2, '0');
    safe_put(buf, cap, len, ":");
    safe_put_number(buf, cap, len, secs / 60 % 60, 2, '0');
    safe_put(buf, cap, len, ":");
    safe_put_number(buf, cap, len, secs % 60, 2, '0');
    safe_put(buf, cap, len, " ");
    safe_put_number(buf, cap, len, y, 0, ' ');
}

}  // namespace

const char *log_decimal_safe(char *buf, size_t cap, long v)
{
    if (cap == 0)
        return buf;
    size_t len = 0;
    safe_put_number(buf, cap - 1, len, v, 0, ' ');
    buf[len] = '\0';
    return buf;
}

void log_signal_safe(unsigned level, const char *const *texts, size_t count)
{
    bool to_file = g_log.dest >= 0 && level_passes(level);
    if (!to_file && !g_log.extra_debug)
        return;
    char line[2048];
    size_t len = 0;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    safe_put_stamp(line, sizeof line, len, static_cast<long long>(ts.tv_sec) + g_gmtoff);
    safe_put(line, sizeof line, len, " tavex-icapd (");
    safe_put_number(line, sizeof line, len, static_cast<long>(getpid()), 0, ' ');
    safe_put(line, sizeof line, len, "): ");
    safe_put(line, sizeof line, len, log_level_name(level));
    safe_put(line, sizeof line, len, " ");
    for (size_t i = 0; i < count; ++i)
        safe_put(line, sizeof line, len, texts[i] ? texts[i] : "(null)");
    if (g_log.extra_debug)
        write_all_fd(2, line, len);
    if (to_file)
        write_all_fd(g_log.dest, line, len);
}

void log_syslog_close()
{
    if (g_log.dest == LOG_DEST_SYSLOG)
        closelog();
}

void log_syslog_reopen()
{
    if (g_log.dest == LOG_DEST_SYSLOG)
        openlog(syslog_ident, LOG_PID, 0);
}
