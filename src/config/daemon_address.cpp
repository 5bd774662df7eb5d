// Parses scanning-daemon and agent address values and the scanning daemon's
// pid file into address lists. Only appends; emptying a list is the
// configuration reset's job. Bounds every word and line it reads.
#include "config/daemon_address.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "log/log.h"

namespace {

// Longest pid-file line kept; a longer line is refused, never buffered whole.
constexpr size_t pid_line_max = DAEMON_ADDR_WORD_MAX;

bool is_blank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// True when scheme is a leading part (any case) of keyword; the empty
// scheme is a leading part of every keyword.
bool scheme_selects(const std::string &scheme, const char *keyword)
{
    return scheme.size() <= strlen(keyword) &&
           strncasecmp(scheme.c_str(), keyword, scheme.size()) == 0;
}

// Handles one address word; false after logging the reason.
bool parse_word(const std::string &word, std::vector<DaemonAddress> &list)
{
    if (word.size() > DAEMON_ADDR_WORD_MAX) {
        icapd_log(LOG_L_ERROR, "Error in address %s\n", word.c_str());
        return false;
    }
    size_t colon = word.find(':');
    if (colon == std::string::npos) {
        icapd_log(LOG_L_ERROR, "Error in address %s - absent ':'\n", word.c_str());
        return false;
    }
    std::string scheme = word.substr(0, colon);
    std::string rest = word.substr(colon + 1);

    if (scheme_selects(scheme, "inet")) {
        size_t at = word.find('@');
        if (at == std::string::npos) {
            icapd_log(LOG_L_ERROR, "Error in address %s - absent '@'\n", word.c_str() + colon);
            return false;
        }
        std::string serv = word.substr(colon + 1, at - colon - 1);
        if (serv.size() > DAEMON_ADDR_PORT_MAX) {
            icapd_log(LOG_L_ERROR, "Error in address %s\n", word.c_str());
            return false;
        }
        daemon_address_add(DAEMON_ADDR_INET, serv, word.substr(at + 1), list);
        return true;
    }
    if (scheme_selects(scheme, "local")) {
        daemon_address_add(DAEMON_ADDR_LOCAL, "", rest, list);
        return true;
    }
    if (scheme_selects(scheme, "pid")) {
        icapd_log(LOG_L_FLOW, "Parsing tavexd pid file: %s\n", rest.c_str());
        return daemon_address_read_pid_file(rest, list);
    }
    icapd_log(LOG_L_ERROR, "Error in address %s\n", word.c_str());
    return false;
}

enum line_status { LINE_OK, LINE_EOF, LINE_TOO_LONG };

// Reads one line without its line feed, keeping at most max characters.
// A line longer than max is consumed to its end and reported as too long.
line_status read_line(FILE *f, std::string &line, size_t max)
{
    line.clear();
    bool any = false;
    bool too_long = false;
    int c;
    while ((c = getc_unlocked(f)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() < max)
            line.push_back(static_cast<char>(c));
        else
            too_long = true;
    }
    if (!any)
        return LINE_EOF;
    return too_long ? LINE_TOO_LONG : LINE_OK;
}

}  // namespace

const char *daemon_address_type_name(unsigned type)
{
    switch (type) {
    case DAEMON_ADDR_INET:
        return "inet";
    case DAEMON_ADDR_LOCAL:
        return "local";
    default:
        return "???";
    }
}

void daemon_address_add(unsigned type, const std::string &serv, const std::string &host,
                        std::vector<DaemonAddress> &list)
{
    DaemonAddress a;
    a.type = type;
    a.serv = serv;
    a.host = host;
    list.push_back(std::move(a));
    icapd_log(LOG_L_FLOW, "Type %i serv \"%s\" host %s\n", static_cast<int>(type), serv.c_str(),
              host.c_str());
}

bool daemon_address_parse(const std::string &value, std::vector<DaemonAddress> &list)
{
    size_t pos = 0;
    const size_t n = value.size();
    while (pos < n) {
        // Runs of commas are one separator; empty pieces are skipped.
        while (pos < n && value[pos] == ',')
            ++pos;
        if (pos >= n)
            break;
        size_t end = value.find(',', pos);
        if (end == std::string::npos)
            end = n;

        // Only the first blank-delimited word of the piece counts.
        size_t w = pos;
        while (w < end && is_blank(value[w]))
            ++w;
        if (w == end)
            return true;  // a blank piece ends the value
        size_t we = w;
        while (we < end && !is_blank(value[we]))
            ++we;
        if (!parse_word(value.substr(w, we - w), list))
            return false;
        pos = end;
    }
    return true;
}

bool daemon_address_read_pid_file(const std::string &path, std::vector<DaemonAddress> &list)
{
    FILE *f = fopen(path.c_str(), "re");
    if (!f) {
        icapd_log(LOG_L_ERROR, "Error opening pid file %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    std::string line;
    if (read_line(f, line, pid_line_max) == LINE_EOF) {
        icapd_log(LOG_L_ERROR, "PidFile: error while reading first line: %s\n", path.c_str());
        fclose(f);
        return false;
    }
    icapd_log(LOG_L_TRACE, "PidFile: skip first line: \"%s\"\n", line.c_str());

    bool ok = true;
    line_status st;
    while ((st = read_line(f, line, pid_line_max)) != LINE_EOF) {
        if (st == LINE_TOO_LONG) {
            icapd_log(LOG_L_ERROR, "PidFile: line too long in %s\n", path.c_str());
            ok = false;
            break;
        }
        icapd_log(LOG_L_TRACE, "PidFile: parsing line: \"%s\"\n", line.c_str());
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            daemon_address_add(DAEMON_ADDR_LOCAL, "", line, list);
        else
            daemon_address_add(DAEMON_ADDR_INET, line.substr(colon + 1), line.substr(0, colon), list);
    }
    if (ok && ferror(f)) {
        icapd_log(LOG_L_ERROR, "Error reading pid file %s: %s\n", path.c_str(), strerror(errno));
        ok = false;
    }
    fclose(f);
    return ok;
}
