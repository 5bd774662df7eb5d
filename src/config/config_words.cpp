// Word-coded configuration values: syslog names and verdict action words.
// Only maps words to codes; the per-key rules live in the setters.
#include "config/config_words.h"

#include <cstring>
#include <stdexcept>
#include <strings.h>
#include <syslog.h>

#include "config/icapd_config.h"

namespace {

struct word_code {
    const char *word;
    int code;
};

const word_code facilities[] = {
    {"User", LOG_USER},     {"Daemon", LOG_DAEMON}, {"Mail", LOG_MAIL},
    {"Local0", LOG_LOCAL0}, {"Local1", LOG_LOCAL1}, {"Local2", LOG_LOCAL2},
    {"Local3", LOG_LOCAL3}, {"Local4", LOG_LOCAL4}, {"Local5", LOG_LOCAL5},
    {"Local6", LOG_LOCAL6}, {"Local7", LOG_LOCAL7},
};

const word_code priorities[] = {
    {"Notice", LOG_NOTICE},
    {"Warning", LOG_WARNING},
    {"Alert", LOG_ALERT},
    {"Info", LOG_INFO},
};

const word_code actions[] = {
    {"cure", ACTION_CURE},     {"move", ACTION_MOVE}, {"truncate", ACTION_TRUNCATE},
    {"report", ACTION_REPORT}, {"pass", ACTION_PASS},
};

// Whole-word, case-insensitive lookup; -1 when the word is not listed.
template <size_t N>
int lookup(const word_code (&table)[N], const std::string &word)
{
    for (const word_code &w : table)
        if (strcasecmp(word.c_str(), w.word) == 0 && word.size() == strlen(w.word))
            return w.code;
    return -1;
}

template <size_t N>
const char *word_of(const word_code (&table)[N], int code)
{
    for (const word_code &w : table)
        if (w.code == code)
            return w.word;
    return nullptr;
}

}  // namespace

const char *config_syslog_facility_word(int code) { return word_of(facilities, code); }
const char *config_syslog_priority_word(int code) { return word_of(priorities, code); }
const char *config_action_word(int code) { return word_of(actions, code); }

int config_syslog_facility(const std::string &word)
{
    int code = lookup(facilities, word);
    if (code < 0)
        throw std::runtime_error("wrong SyslogFacility: " + word);
    return code;
}

int config_syslog_priority(const std::string &word)
{
    int code = lookup(priorities, word);
    if (code < 0)
        throw std::runtime_error("wrong SyslogPriority: " + word);
    return code;
}

int config_action_code(const std::string &word)
{
    int code = lookup(actions, word);
    if (code < 0)
        throw std::runtime_error("Unknown action: " + word);
    return code;
}
