// MIME rules: scan, pass or reject an entity by content type and size.
// Owns the two process-wide rule lists (major types with the built-in "*"
// rule, and full types) and the parser of MIME block text.
#ifndef TVX_POLICY_MIME_RULES_H
#define TVX_POLICY_MIME_RULES_H

#include <string>
#include <vector>

// Action codes.
enum : int { MIME_SCAN = -1, MIME_PASS = -2, MIME_REJECT = -3 };
// Option codes, meaningful with MIME_REJECT only.
enum : int { MIME_OPT_NONE = 0, MIME_OPT_TRUNC = 1, MIME_OPT_REPORT = 2 };

struct mime_rule {
    std::string name;          // compared without regard to case
    int action1 = MIME_SCAN;
    int option1 = MIME_OPT_NONE;
    int threshold = -1;        // bytes; -1: action1 applies to every size
    int action2 = MIME_SCAN;   // for sizes above the threshold
    int option2 = MIME_OPT_NONE;
};

// Adds or updates the rules written in one MIME block (lines up to a line
// that reads "MimeEnd" or the end of the text), then logs every rule at
// level 2. A syntax error is logged and ends the process: status 7 for a bad
// or missing action, 1 for a bad size.
void mime_parse_block(const std::string &text);

// Frees every rule but the built-in one, empties the full-type list and sets
// "*" back to scan for every size.
void mime_rules_reset();

// The rule for an entity of this content type and size: returns its action
// code; for reject, *option receives the option code. *rule (when not null)
// receives the deciding rule, valid until the rules change.
int mime_find_rule(const char *content_type, long long size, int *option, const mime_rule **rule);

// "prefix name = [actions]" as logged for a rule.
std::string mime_format_rule(const char *prefix, const mime_rule &rule);

// Logs every rule ("mime_level1:" list first, then "mime_level2:") at level 2.
void mime_print_rules();

// The rule lists, in file order ("*" first in level 1).
const std::vector<mime_rule> &mime_rules_level1();
const std::vector<mime_rule> &mime_rules_level2();

#endif
