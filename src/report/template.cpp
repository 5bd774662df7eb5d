// Template expansion for report pages. Reads the template a character at a
// time through stdio and writes through stdio; never holds more than one
// macro text or one expansion in memory, and never writes a request or
// daemon value into a page without HTML-escaping it.
#include "report/template.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "log/log.h"
#include "request/entity.h"
#include "request/quarantine.h"

namespace {

constexpr size_t short_url_max = 60;
constexpr size_t short_url_keep = 57;
constexpr size_t submit_label_max = 9999;

// The file-name part of the request's quarantine name (the request URL
// with "/" turned into "|", cut to the quarantine path limit), built once
// per request.
std::string quarantine_file_part(icap_request &rq) { return quarantine_file_name(rq, g_config.quarantine()); }

bool write_text(FILE *out, const std::string &text)
{
    return text.empty() || fwrite(text.data(), 1, text.size(), out) == text.size();
}

// $DAEMON_REPORT$: the report lines of the last scan, each shown from the
// end of the temp-file name (or of the word DATA) on.
int expand_daemon_report(FILE *out, icap_request &rq, const page_values &values)
{
    std::vector<std::string> &greport = rq.greport;
    if (greport.empty() && !values.daemon_answered)
        greport.push_back("DATA Communication error with Tavex (R) daemon");
    icapd_log(LOG_L_HEADERS, "parse_template: %i strings in report\n", static_cast<int>(greport.size()));
    for (size_t i = 0; i < greport.size(); ++i) {
        const std::string &line = greport[i];
        icapd_log(LOG_L_TRACE, "  %s\n", line.c_str());
        size_t start = 0;
        size_t at = g_config.Cache.empty() ? std::string::npos : line.find(g_config.Cache);
        if (at != std::string::npos)
            start = at + g_config.Cache.size();
        else if ((at = line.find("DATA")) != std::string::npos)
            start = at;
        size_t from = line.find_first_of(" \t\r\n/", start);
        std::string shown = from == std::string::npos ? std::string() : html_escape(line.substr(from));
        // Lines of a report are shown one per line.
        if (i + 1 < greport.size() && (shown.empty() || shown.back() != '\n'))
            shown += '\n';
        if (!write_text(out, shown)) {
            icapd_log(LOG_L_ERROR, "error writing template: %s\n", strerror(errno));
            return -1;
        }
    }
    return 1;
}

// $MANUAL_SUBMIT$: the rest of the template line is the button label; the
// form (unless threat URLs go to the agent instead) lets the user send the
// URL and the threat names to the vendor. The template closes the form.
std::string expand_manual_submit(FILE *in, const icap_request &rq)
{
    std::string label;
    int c;
    while (label.size() < submit_label_max && (c = getc(in)) != EOF && c != '\n')
        label.push_back(static_cast<char>(c));
    size_t b = label.find_first_not_of(" \t\r");
    size_t e = label.find_last_not_of(" \t\r");
    label = b == std::string::npos ? std::string() : label.substr(b, e - b + 1);
    if (g_config.SendUrlsWithViruses)
        return std::string();

    std::string names;
    for (size_t i = 0; i < rq.viruses_list.size(); ++i) {
        if (i)
            names += ';';
        names += rq.viruses_list[i].name;
    }
    return "<form action=\"http://" REPORT_SUBMIT_HOST "/post_link/\" method=\"post\">\n"
           "<input type=\"hidden\" name=\"u\" value=\"" +
           html_escape(rq.url) + "\">\n<input type=\"hidden\" name=\"vn\" value=\"" + html_escape(names) +
           "\">\n<input type=\"submit\" value=\"" + html_escape(label) + "\">\n</input>\n";
}

std::string local_date()
{
    char buf[128];
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    size_t n = strftime(buf, sizeof buf, "%X %x", &tmv);
    return std::string(buf, n);
}

// The macro set of report pages.
int page_macro(const std::string &m, FILE *in, FILE *out, std::string &exp, icap_request &rq,
               const page_values &values)
{
    const char *name = m.c_str();
    if (!strcasecmp(name, "$HOSTMASTER$")) {
        exp = html_escape(g_config.Hostmaster);
    } else if (!strcasecmp(name, "$DAEMON_REPORT$")) {
        exp.clear();
        return expand_daemon_report(out, rq, values);
    } else if (!strcasecmp(name, "$RELEASE$")) {
        exp = values.release.empty() ? std::string("unknown") : html_escape(values.release);
    } else if (!strcasecmp(name, "$URL$")) {
        exp = html_escape(rq.url);
    } else if (!strcasecmp(name, "$URL_SHORT$")) {
        exp = html_escape(report_short_url(rq.url));
    } else if (!strcasecmp(name, "$VERSION$")) {
        exp = "6.0.0.0";
    } else if (!strcasecmp(name, "$FILE_NAME_ERROR$")) {
        exp = html_escape(quarantine_file_part(rq));
    } else if (!strcasecmp(name, "$DATE$")) {
        exp = local_date();
    } else if (!strcasecmp(name, "$MANUAL_SUBMIT$")) {
        exp = expand_manual_submit(in, rq);
    } else {
        return 0;
    }
    return 1;
}

}  // namespace

std::string html_escape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string report_short_url(const char *url)
{
    size_t len = strlen(url);
    if (len <= short_url_max)
        return std::string(url, len);
    return std::string(url, short_url_keep) + "...";
}

int template_expand(FILE *in, FILE *out, const template_macro_fn &fn, const char *log_tag)
{
    std::string pending;
    int again = EOF;  // a character to handle again before reading on
    for (;;) {
        int c = again != EOF ? again : getc(in);
        again = EOF;
        if (c == EOF)
            break;
        if (!write_text(out, pending)) {
            icapd_log(LOG_L_ERROR, "writing to pipe: %s\n", strerror(errno));
            return 0;
        }
        pending.clear();
        if (c != '$') {
            pending.assign(1, static_cast<char>(c));
            continue;
        }

        std::string macro(1, '$');
        bool at_end = false;
        while (macro.size() < TEMPLATE_MACRO_MAX) {
            int d = getc(in);
            if (d == EOF) {
                at_end = true;
                break;
            }
            macro.push_back(static_cast<char>(d));
            if (d == '$')
                break;
        }
        icapd_log(LOG_L_TRACE, "%s %s\n", log_tag, macro.c_str());

        std::string expansion;
        int known = macro.size() >= 2 && macro.back() == '$' ? fn(macro, in, out, expansion) : 0;
        if (known < 0)
            return 0;
        if (known > 0) {
            pending.swap(expansion);
        } else if (at_end) {
            pending.swap(macro);
        } else {
            again = static_cast<unsigned char>(macro.back());
            macro.pop_back();
            pending.swap(macro);
        }
    }
    if (ferror(in)) {
        icapd_log(LOG_L_ERROR, "error reading template: %s\n", strerror(errno));
        return 0;
    }
    if (!write_text(out, pending) || fflush(out) != 0) {
        icapd_log(LOG_L_ERROR, "writing to pipe: %s\n", strerror(errno));
        return 0;
    }
    return 200;
}

int parse_template(FILE *tmpl, FILE *out, const page_values &values, icap_request &rq)
{
    return template_expand(
        tmpl, out,
        [&](const std::string &m, FILE *in, FILE *o, std::string &exp) {
            return page_macro(m, in, o, exp, rq, values);
        },
        "Find macros");
}

namespace {

// The entity's file emptied for a page, or a new temp file when it has
// none. Returns a stream on a descriptor of its own (positioned at the
// start), or nullptr after logging why.
FILE *open_page_file(icap_request &rq, icap_entity &entity)
{
    entity.size = 0;
    bool ready;
    if (entity.fd >= 0)
        ready = ftruncate(entity.fd, 0) == 0 && lseek(entity.fd, 0, SEEK_SET) == 0;
    else
        ready = entity_temp_create(rq, entity, g_config.Cache, g_config.temp_file_mode) == 200;
    int dup_fd = ready ? fcntl(entity.fd, F_DUPFD_CLOEXEC, 0) : -1;
    FILE *page = dup_fd < 0 ? nullptr : fdopen(dup_fd, "w");
    if (!page) {
        std::string name = !entity.path.empty() ? entity.path : entity_temp_name(g_config.Cache, entity);
        icapd_log(LOG_L_ERROR, "can`t open temp file [%s]: %s\n", name.c_str(), strerror(errno));
        if (dup_fd >= 0)
            close(dup_fd);
    }
    return page;
}

}  // namespace

int make_report_page(icap_request &rq, icap_entity &entity, const char *tmpl, FILE *stream,
                     const page_values &values)
{
    FILE *page = stream ? stream : open_page_file(rq, entity);
    if (!page)
        return 0;

    std::string path = g_config.Templates + tmpl;
    FILE *in = fopen(path.c_str(), "re");
    int rc = 0;
    if (!in) {
        icapd_log(LOG_L_ERROR, "can`t open template - %s: %s\n", path.c_str(), strerror(errno));
    } else {
        rc = parse_template(in, page, values, rq);
        fclose(in);
        if (rc != 200) {
            icapd_log(LOG_L_ERROR, "in template creating\n");
            rc = 0;
        }
    }
    if (stream)
        return rc;

    if (fclose(page) != 0 && rc == 200) {
        icapd_log(LOG_L_ERROR, "in template creating\n");
        rc = 0;
    }
    if (rc != 200)
        return 0;
    struct stat st;
    if (fstat(entity.fd, &st) != 0) {
        icapd_log(LOG_L_ERROR, "can`t call fstat - %s\n", strerror(errno));
        return 0;
    }
    entity.size = static_cast<unsigned>(st.st_size);
    lseek(entity.fd, 0, SEEK_SET);
    return 200;
}
