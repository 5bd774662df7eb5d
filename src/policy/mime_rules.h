// MIME rules: scan, pass or reject an entity by content type and size.
// A rule table holds the two lists (major types with the built-in "*" rule,
// and full types); the block parser fills one, lookups read one. Keeps no
// table of its own: each loaded configuration owns its table.
#ifndef TVX_POLICY_MIME_RULES_H
#define TVX_POLICY_MIME_RULES_H

#include <stdexcept>
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

// The rules of one configuration, in file order. A new table holds only
// the built-in "*" rule: scan for every size.
struct mime_table {
    std::vector<mime_rule> level1{mime_rule{"*"}};  // names without "/", "*" first
    std::vector<mime_rule> level2;                  // full types
};

// A syntax error in a MIME block, after its log lines were written. At
// start-up the daemon ends with exit_status (7 for a bad or missing
// action, 1 for a bad size or no memory); a reload keeps the running
// configuration instead.
class mime_syntax_error : public std::runtime_error {
public:
    mime_syntax_error(int status, const std::string &what) : std::runtime_error(what), exit_status(status) {}
    int exit_status;
};

// Adds or updates in table the rules written in one MIME block (lines up
// to a line that reads "MimeEnd" or the end of the text), then logs every
// rule at level 2. Throws mime_syntax_error; rules of the lines before the
// bad one stay in the table.
void mime_parse_block(mime_table &table, const std::string &text);

// The rule for an entity of this content type and size: returns its action
// code; for reject, *option receives the option code. *rule (when not null)
// receives the deciding rule, valid while the table lives unchanged.
int mime_find_rule(const mime_table &table, const char *content_type, long long size, int *option,
                   const mime_rule **rule);

// "prefix name = [actions]" as logged for a rule.
std::string mime_format_rule(const char *prefix, const mime_rule &rule);

// Logs every rule ("mime_level1:" list first, then "mime_level2:") at level 2.
void mime_print_rules(const mime_table &table);

#endif
