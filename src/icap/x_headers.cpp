// Threat headers of the 200 reply. The scanning daemon's report lines are
// free text from a peer: every search is bounded by the line, nothing is
// indexed without a check, and control characters never reach the head.
#include "icap/x_headers.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "config/icapd_config.h"
#include "log/log.h"

const violation_row violation_table[VIOLATION_ROWS] = {
    {" - ", 4, 0, 0x0, 0},
    {"Ok", 0, 0, 0x100000, 0},
    {"probably infected with", 72, 1, 0x40, 0},
    {"infected with modification of", 64, 1, 0x80, 0},
    {"infected with", 66, 1, 0x20, 0},
    {"packed by", 64, 0, 0x0, 2},
    {"contains an advertising software", 64, 1, 0x400000, 0},
    {"contains a dialer program", 64, 1, 0x800000, 0},
    {"contains a joke (hoax) program", 64, 1, 0x1000000, 0},
    {"contains a potentially dangerous software", 64, 1, 0x2000000, 0},
    {"contains an intrusion tool", 64, 1, 0x4000000, 0},
    {"archive", 0, 0, 0x0, 2},
    {"password protected, skipped", 0, 1, 0x1000, 0},
    {"ignored because a link to scanned path", 0, 0, 0x1000, 0},
    {"ignored because is specified in the ExcludePaths option", 0, 0, 0x1000, 0},
    {"write error!", 0, 1, 0x2, 0},
    {"read error!", 0, 1, 0x1, 0},
    {"cannot open file with error: ", 0, 1, 0x1, 0},
    {"no memory", 0, 1, 0x4, 0},
    {"cannot get file attributes with error: ", 0, 1, 0x1, 0},
    {"header CRC error!", 32, 1, 0x8, 0},
    {"CRC error!", 16, 1, 0x8, 2},
    {"decompression error!", 0, 1, 0x8017, 2},
    {"cured!", 0, 1, 0x100, 1},
    {"moved!", 0, 1, 0x0, 0},
    {"deleted!", 0, 1, 0x80000, 1},
    {"renamed!", 0, 1, 0x0, 0},
    {"ignored!", 0, 1, 0x0, 0},
    {"nesting limit!", 0, 1, 0x40000, 2},
    {"immunized by", 64, 0, 0x0, 0},
    {"not enough memory to extract!", 0, 1, 0x4, 0},
    {"eradicated!", 0, 1, 0x0, 0},
    {"splitted file, skipped", 0, 1, 0x1000, 0},
    {"file too large, skipped", 0, 1, 0x1000, 0},
    {"the size of the file is equal to zero, skipped", 0, 1, 0x1000, 0},
    {"error operating with file's memory image!", 0, 1, 0x4, 0},
    {"unknown file type, skipped", 0, 1, 0x4, 0},
};

namespace {

struct violation_record {
    std::string file;
    std::string threat;
    size_t row;
};

constexpr size_t no_row = VIOLATION_ROWS;
constexpr size_t threat_list_limit = 80;

// Peer text made safe for a header value: no line breaks or other controls.
std::string header_safe(const std::string &s)
{
    std::string out(s);
    for (char &c : out) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
            c = ' ';
        else if (c == 0x7f)
            c = ' ';
    }
    return out;
}

std::string trim(const std::string &s)
{
    const char *ws = " \t\r\n\v\f";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

// The last path component of the URL: the text after its last "/", or the
// whole URL when it has no "/" or ends with one.
std::string url_name_prefix(const char *url)
{
    const char *slash = strrchr(url, '/');
    if (!slash || slash[1] == '\0')
        return url;
    return slash + 1;
}

bool row_passed_over(size_t row, size_t prev)
{
    if (prev == no_row)
        return false;
    unsigned f = violation_table[row].flags, pf = violation_table[prev].flags;
    return ((f & VIOL_F_AFTER_PROBABLY) && (pf & VIOL_F_PROBABLY)) ||
           ((f & VIOL_F_AFTER_HEADER) && (pf & VIOL_F_HEADER));
}

// Turns one report line into a record; false when the line gives none.
bool parse_report_line(const std::string &line, const std::string &prefix, const std::string &temp_path,
                       violation_record *rec)
{
    // Next occurrence of each phrase at or after pos, kept across steps so
    // that a long line is searched once per phrase, not once per match.
    size_t occ[VIOLATION_ROWS];
    for (size_t r = 0; r < VIOLATION_ROWS; ++r)
        occ[r] = line.find(violation_table[r].phrase);

    size_t prev = no_row, at = 0, pos = 0;
    std::string file;
    for (;;) {
        size_t found = no_row;
        for (size_t r = 0; r < VIOLATION_ROWS; ++r) {
            if (occ[r] != std::string::npos && occ[r] < pos)
                occ[r] = line.find(violation_table[r].phrase, pos);
            if (occ[r] != std::string::npos && !row_passed_over(r, prev)) {
                found = r;
                break;
            }
        }
        if (found == no_row)
            break;
        at = occ[found];
        if (violation_table[found].flags & VIOL_F_SEPARATOR) {
            size_t slash = line.find('/');
            if (at == 0 || slash == std::string::npos || slash >= at)
                return false;
            file = line.substr(slash, at - slash);
        }
        prev = found;
        pos = at + 1;
    }
    if (prev == no_row || !violation_table[prev].violation)
        return false;

    const violation_row &row = violation_table[prev];
    size_t end = at + strlen(row.phrase);
    if (end >= line.size())
        return false;  // nothing follows the phrase
    if (at > 0 && (row.flags & VIOL_F_THREAT)) {
        size_t slash = line.find('/');
        if (slash == std::string::npos || slash >= at - 1)
            return false;
        file = line.substr(slash, at - 1 - slash);
    }
    // The threat is what follows the phrase; the blank that separates them
    // goes with the trimming.
    rec->threat = header_safe(trim(line.substr(end)));
    if (!temp_path.empty() && file.compare(0, temp_path.size(), temp_path) == 0)
        file.erase(0, temp_path.size());
    rec->file = header_safe(prefix + file);
    if (rec->file.empty())
        rec->file = "-";
    rec->row = prev;
    if (g_config.LogLevel & LOG_L_FLOW)
        icapd_log(LOG_L_FLOW, "For str [%s]: file [%s] code=%i opt=[%s]\n", line.c_str(), rec->file.c_str(),
                  static_cast<int>(row.flags), rec->threat.c_str());
    return true;
}

void append_violations(std::string &head, const icap_request &rq)
{
    std::vector<violation_record> recs;
    std::string prefix = url_name_prefix(rq.url);
    for (const std::string &line : rq.greport) {
        violation_record rec;
        if (!parse_report_line(line, prefix, rq.scanned_path, &rec))
            continue;
        if (rec.threat.empty() && !recs.empty() && recs.back().file == rec.file)
            recs.back().row = rec.row;
        else
            recs.push_back(std::move(rec));
    }
    if (recs.empty())
        return;
    head += "\r\nX-Violations-Found: " + std::to_string(recs.size());
    for (auto it = recs.rbegin(); it != recs.rend(); ++it) {
        const violation_row &row = violation_table[it->row];
        char problem[16];
        snprintf(problem, sizeof problem, "%x", row.problem);
        head += "\r\n\t" + it->file + "\r\n\t" + it->threat + "\r\n\t" + problem + "\r\n\t" +
                std::to_string(row.resolution);
    }
}

}  // namespace

int add_x_headers(std::string &head, const icap_request &rq)
{
    try {
        std::string threats;
        size_t n = rq.viruses_list.size(), i = 0;
        for (; i < n && threats.size() < threat_list_limit; ++i) {
            threats += header_safe(rq.viruses_list[i].name);
            if (i + 1 < n)
                threats += ", ";
        }
        if (i < n)
            threats += "...";
        head += "\r\nX-Virus-ID: " + threats;
        head += "\r\nX-Infection-Found: Type=" + std::to_string(rq.infection_type) +
                "; Resolution=" + std::to_string(rq.infection_resolution) + "; Threat=" + threats + ";";
        append_violations(head, rq);
    } catch (const std::bad_alloc &) {
        icapd_log(LOG_L_ERROR, "add_x_headers: memory error\n");
        return 0;
    }
    return 200;
}
