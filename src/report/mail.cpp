// Building and sending one notification. The lock file is created new
// (O_EXCL) and never followed through a link; the template is opened
// before the mail command starts, so that a missing template sends no
// empty message.
#include "report/mail.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "log/log.h"
#include "report/mail_pipe.h"
#include "request/quarantine.h"

namespace {

// Longest mail command line run.
constexpr size_t mail_command_max = 9999;

// A value shown in the message: HTML-escaped for the page body, and never
// a line break that could start a header of its own.
std::string shown(const std::string &v)
{
    std::string s = html_escape(v);
    for (char &c : s)
        if (c == '\r' || c == '\n')
            c = ' ';
    return s;
}

std::string now_text()
{
    time_t t = time(nullptr);
    struct tm tmv;
    char buf[64];
    if (!localtime_r(&t, &tmv) || !asctime_r(&tmv, buf))
        return std::string();
    std::string s(buf);
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

// Takes the lock for the object: true to send, false with *result set
// (200: a fresh lock suppresses the message; 0: a failure, logged).
bool take_lock(const std::string &path, int *result)
{
    for (;;) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0622);
        if (fd >= 0) {
            close(fd);
            icapd_log(LOG_L_TRACE, "create %s file\n", path.c_str());
            return true;
        }
        if (errno != EEXIST) {
            icapd_log(LOG_L_ERROR, "can not create file %s: %s\n", path.c_str(), strerror(errno));
            *result = 0;
            return false;
        }
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT)
                continue;  // removed meanwhile: try again
            icapd_log(LOG_L_ERROR, "stat error on file %s: %s\n", path.c_str(), strerror(errno));
            *result = 0;
            return false;
        }
        if (!(st.st_mtime + g_config.MailCache < time(nullptr))) {
            icapd_log(LOG_L_FLOW, "file %s exist: skip email sending\n", path.c_str());
            *result = 200;
            return false;
        }
        icapd_log(LOG_L_FLOW, "Remove old lock file %s\n", path.c_str());
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            icapd_log(LOG_L_ERROR, "unlink error on file %s: %s\n", path.c_str(), strerror(errno));
            *result = 0;
            return false;
        }
    }
}

}  // namespace

bool mail_address_is_safe(const std::string &address)
{
    if (address.empty())
        return false;
    for (unsigned char c : address)
        if (!isalnum(c) && !strchr("@._+-=", c))
            return false;
    return address[0] != '-';
}

std::string mail_command_line(const std::string &format, const std::string &recipient)
{
    std::string out;
    bool placed = false;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (format[i + 1] == 's' && !placed) {
                out += recipient;
                placed = true;
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    if (out.size() > mail_command_max)
        out.resize(mail_command_max);
    return out;
}

std::string mail_lock_path(icap_request &rq, const std::string &lock_name)
{
    std::string object = lock_name.empty() ? quarantine_file_name(rq, g_config.quarantine()) : lock_name;
    for (char &c : object)
        if (c == '/')
            c = '|';
    std::string path = g_config.Cache + "lock." + object;
    size_t name_max = g_config.quarantine_name_max;
    if (name_max && path.size() >= name_max)
        path.resize(name_max - 1);
    return path;
}

int mail_expand(FILE *in, FILE *out, icap_request &rq, icap_entity &entity, const char *reason, const char *word,
                const char *page_tmpl, const page_values &values)
{
    const std::string size = std::to_string(entity.size);
    auto macro = [&](const std::string &m, FILE *, FILE *out, std::string &expansion) -> int {
        const char *name = m.c_str();
        if (!strcasecmp(name, "$HOSTMASTER$"))
            expansion = shown(g_config.Hostmaster);
        else if (!strcasecmp(name, "$REASON$"))
            expansion = shown(reason ? reason : "");
        else if (!strcasecmp(name, "$TIME$"))
            expansion = now_text();
        else if (!strcasecmp(name, "$IP$"))
            expansion = rq.client_ip[0] ? shown(rq.client_ip) : "?";
        else if (!strcasecmp(name, "$ACTION$"))
            expansion = shown(word ? word : "");
        else if (!strcasecmp(name, "$SIZE$"))
            expansion = size;
        else if (!strcasecmp(name, "$URL$"))
            expansion = shown(rq.url);
        else if (!strcasecmp(name, "$HTML_PAGE$")) {
            expansion.clear();
            // The page goes straight into the message; a page that cannot be
            // built leaves the rest of the message as it is.
            make_report_page(rq, entity, page_tmpl ? page_tmpl : REPORT_DOWNLOAD_BLOCK, out, values);
        } else
            return 0;
        return 1;
    };
    return template_expand(in, out, macro, "Search macros");
}

int tvx_report_file(icap_request &rq, icap_entity &entity, const char *reason, const char *word,
                    const char *page_tmpl, const std::string &lock_name, const page_values &values)
{
    const std::string lock = mail_lock_path(rq, lock_name);
    if (g_config.MailCache != 0) {
        int result;
        if (!take_lock(lock, &result))
            return result;
    }

    const std::string templ = g_config.Templates + REPORT_EMAIL;
    FILE *in = fopen(templ.c_str(), "re");
    if (!in) {
        icapd_log(LOG_L_ERROR, "tvx_report_file: can not open template - %s: %s\n", templ.c_str(), strerror(errno));
        return 0;
    }
    if (!mail_address_is_safe(g_config.Hostmaster)) {
        icapd_log(LOG_L_ERROR, "tvx_report_file: Hostmaster '%s' is not a mail address\n", g_config.Hostmaster.c_str());
        fclose(in);
        return 0;
    }
    const std::string command = mail_command_line(g_config.MailCommand, g_config.Hostmaster);
    mail_pipe pipe;
    if (!mail_pipe_open(pipe, command, g_config.Timeout)) {
        icapd_log(LOG_L_ERROR, "popen error for %s: %s\n", command.c_str(), strerror(errno));
        fclose(in);
        return 0;
    }

    mail_expand(in, pipe.out, rq, entity, reason, word, page_tmpl, values);
    fclose(in);
    if (mail_pipe_close(pipe) != 0) {
        icapd_log(LOG_L_ERROR, "in execute %s: %s\n", command.c_str(), strerror(errno));
        return 0;
    }
    icapd_log(LOG_L_INFO, "email report to %s sent successfully\n", g_config.Hostmaster.c_str());
    return 200;
}
