// Word-coded configuration values: syslog facility and priority names and
// the verdict action words, mapped to their integer codes and back. Pure
// functions: they throw std::runtime_error with the key's message and keep
// no state.
#ifndef TVX_CONFIG_CONFIG_WORDS_H
#define TVX_CONFIG_CONFIG_WORDS_H

#include <string>

// "User", "Daemon", "Mail", "Local0".."Local7" (any case) to the syslog
// facility code; otherwise throws "wrong SyslogFacility: " + word.
int config_syslog_facility(const std::string &word);

// "Notice", "Warning", "Alert", "Info" (any case) to the syslog priority;
// otherwise throws "wrong SyslogPriority: " + word.
int config_syslog_priority(const std::string &word);

// "cure", "move", "truncate", "report", "pass" (any case, whole word) to
// ACTION_CURE .. ACTION_PASS; otherwise throws "Unknown action: " + word.
int config_action_code(const std::string &word);

// The words of codes, for printing a configuration: the first listed word
// of a facility, priority or action code, or nullptr for a code no word has.
const char *config_syslog_facility_word(int code);
const char *config_syslog_priority_word(int code);
const char *config_action_word(int code);

#endif
