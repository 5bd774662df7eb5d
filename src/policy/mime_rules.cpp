// MIME rules: the block parser, the lookup by content type and size, and
// their log form. A syntax error in a block is logged and thrown, never
// acted on here; lookups never allocate and never fail.
#include "policy/mime_rules.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <strings.h>

#include "log/log.h"

namespace {

// Splits a line into blank-separated words.
std::vector<std::string> mime_words(const std::string &line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace(static_cast<unsigned char>(line[i])))
            i++;
        size_t start = i;
        while (i < line.size() && !isspace(static_cast<unsigned char>(line[i])))
            i++;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

// Reads an action from words[*pos]; false (after its log line) when none.
bool mime_parse_action(const std::vector<std::string> &words, size_t *pos, int *action, int *option)
{
    if (*pos >= words.size()) {
        icapd_log(LOG_L_ERROR, "waiting for scan | reject | pass but have: %s\n", "");
        return false;
    }
    const std::string &w = words[(*pos)++];
    if (strcasecmp(w.c_str(), "scan") == 0) {
        *action = MIME_SCAN;
        *option = MIME_OPT_NONE;
        return true;
    }
    if (strcasecmp(w.c_str(), "pass") == 0) {
        *action = MIME_PASS;
        *option = MIME_OPT_NONE;
        return true;
    }
    if (strcasecmp(w.c_str(), "reject") == 0) {
        if (*pos >= words.size()) {
            icapd_log(LOG_L_ERROR, "waiting for -trunc | -report but have: %s\n", w.c_str());
            return false;
        }
        const std::string &o = words[(*pos)++];
        if (strcasecmp(o.c_str(), "-trunc") == 0)
            *option = MIME_OPT_TRUNC;
        else if (strcasecmp(o.c_str(), "-report") == 0)
            *option = MIME_OPT_REPORT;
        else {
            icapd_log(LOG_L_ERROR, "waiting for -trunc | -report but have: %s\n", o.c_str());
            return false;
        }
        *action = MIME_REJECT;
        return true;
    }
    icapd_log(LOG_L_ERROR, "waiting for scan | reject | pass but have: %s\n", w.c_str());
    return false;
}

// A size word: "inf" is 0; digits with an optional unit b, k or m (no unit
// counts in KiB). Sizes that do not fit a signed 32-bit threshold are
// refused, since they would compare as negative numbers.
bool mime_parse_size(const std::string &w, int *size)
{
    if (strcasecmp(w.c_str(), "inf") == 0) {
        *size = 0;
        return true;
    }
    if (w.empty())
        return false;
    unsigned long long unit;
    std::string digits = w;
    char last = static_cast<char>(tolower(static_cast<unsigned char>(w.back())));
    if (isdigit(static_cast<unsigned char>(last)))
        unit = 1024;
    else {
        if (last == 'b')
            unit = 1;
        else if (last == 'k')
            unit = 1024;
        else if (last == 'm')
            unit = 1048576;
        else
            return false;
        digits.pop_back();
    }
    if (digits.empty() || digits.size() > 10)
        return false;
    unsigned long long n = 0;
    for (char c : digits) {
        if (!isdigit(static_cast<unsigned char>(c)))
            return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n > static_cast<unsigned long long>(INT_MAX) / unit)
        return false;
    *size = static_cast<int>(n * unit);
    return true;
}

// The rule of that name in its list, appended when new.
mime_rule &mime_find_target(mime_table &table, const std::string &name)
{
    std::vector<mime_rule> &list = name.find('/') != std::string::npos ? table.level2 : table.level1;
    for (mime_rule &r : list)
        if (strcasecmp(r.name.c_str(), name.c_str()) == 0)
            return r;
    try {
        mime_rule r;
        r.name = name;
        list.push_back(r);
    } catch (const std::bad_alloc &) {
        icapd_log(LOG_L_ERROR, "%s: %s\n", "Error in find_target_mime memory take", strerror(ENOMEM));
        throw mime_syntax_error(1, std::string("Error in find_target_mime memory take: ") + strerror(ENOMEM));
    }
    return list.back();
}

// One rule line (already trimmed, not empty); throws on errors.
void mime_parse_line(mime_table &table, const std::string &line)
{
    std::vector<std::string> words = mime_words(line);
    mime_rule &r = mime_find_target(table, words[0]);
    size_t pos = 1;
    if (!mime_parse_action(words, &pos, &r.action1, &r.option1)) {
        icapd_log(LOG_L_ERROR, "in parse mime type %s\n", r.name.c_str());
        throw mime_syntax_error(7, "in parse mime type " + r.name);
    }
    if (pos >= words.size()) {
        icapd_log(LOG_L_ERROR, "Wrong mime syntax\n");
        throw mime_syntax_error(7, "Wrong mime syntax");
    }
    const std::string &w = words[pos++];
    if (strcasecmp(w.c_str(), "all") == 0) {
        r.threshold = -1;
        return;
    }
    if (!mime_parse_size(w, &r.threshold)) {
        icapd_log(LOG_L_ERROR, "in parser mime type %s (waiting for size)\n", r.name.c_str());
        throw mime_syntax_error(1, "in parser mime type " + r.name + " (waiting for size)");
    }
    if (!mime_parse_action(words, &pos, &r.action2, &r.option2)) {
        icapd_log(LOG_L_ERROR, "in parse mime type %s\n", r.name.c_str());
        throw mime_syntax_error(7, "in parse mime type " + r.name);
    }
}

int mime_rule_result(const mime_rule &r, long long size, int *option)
{
    bool first = r.threshold == -1 || size <= r.threshold;
    int action = first ? r.action1 : r.action2;
    if (action == MIME_REJECT && option != nullptr)
        *option = first ? r.option1 : r.option2;
    return action;
}

void mime_append_action(std::string &out, int action, int option)
{
    switch (action) {
    case MIME_SCAN:
        out += "scan";
        break;
    case MIME_PASS:
        out += "pass";
        break;
    case MIME_REJECT:
        out += "reject";
        if (option == MIME_OPT_TRUNC)
            out += " -trunc";
        else if (option == MIME_OPT_REPORT)
            out += " -report";
        else
            icapd_log(LOG_L_ERROR, "Wrong token option = %i\n", option);
        break;
    default:
        icapd_log(LOG_L_ERROR, "Wrong token type = %i\n", action);
        break;
    }
}

}  // namespace

void mime_parse_block(mime_table &table, const std::string &text)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (strcasecmp(line.c_str(), "MimeEnd") == 0)
            break;
        size_t b = 0, e = line.size();
        while (b < e && isspace(static_cast<unsigned char>(line[b])))
            b++;
        while (e > b && isspace(static_cast<unsigned char>(line[e - 1])))
            e--;
        if (b == e)
            continue;
        mime_parse_line(table, line.substr(b, e - b));
    }
    mime_print_rules(table);
}

int mime_find_rule(const mime_table &table, const char *content_type, long long size, int *option,
                   const mime_rule **rule)
{
    const char *t = content_type != nullptr ? content_type : "";
    for (const mime_rule &r : table.level2) {
        if (strcasecmp(r.name.c_str(), t) == 0) {
            if (rule != nullptr)
                *rule = &r;
            return mime_rule_result(r, size, option);
        }
    }
    // The built-in "*" rule always comes first and is the fallback. A type
    // without a major part ("/x") has nothing to compare and gets it too.
    const mime_rule &star = table.level1.front();
    const char *slash = strchr(t, '/');
    if (slash != nullptr && slash != t) {
        size_t n = static_cast<size_t>(slash - t);
        for (size_t i = 1; i < table.level1.size(); i++) {
            const mime_rule &r = table.level1[i];
            if (strncasecmp(r.name.c_str(), t, n) == 0) {
                if (rule != nullptr)
                    *rule = &r;
                return mime_rule_result(r, size, option);
            }
        }
    }
    if (rule != nullptr)
        *rule = &star;
    return mime_rule_result(star, size, option);
}

std::string mime_format_rule(const char *prefix, const mime_rule &rule)
{
    std::string out = std::string(prefix) + " " + rule.name + " = [";
    mime_append_action(out, rule.action1, rule.option1);
    if (rule.threshold == -1)
        out += " all";
    else {
        out += " <= " + std::to_string(rule.threshold) + " > ";
        mime_append_action(out, rule.action2, rule.option2);
    }
    out += "]";
    return out;
}

void mime_print_rules(const mime_table &table)
{
    for (const mime_rule &r : table.level1)
        icapd_log(LOG_L_FLOW, "%s\n", mime_format_rule("mime_level1:", r).c_str());
    for (const mime_rule &r : table.level2)
        icapd_log(LOG_L_FLOW, "%s\n", mime_format_rule("mime_level2:", r).c_str());
}
