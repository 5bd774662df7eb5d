// MIME rules: blocks parsed into the two lists of a table, lookups by
// content type and size, the logged form of rules, and the syntax errors
// with the exit status a start-up ends with.
#include <gtest/gtest.h>

#include <sstream>

#include "log/log.h"
#include "policy/mime_rules.h"
#include "support/log_capture.h"

namespace {

class MimeRules : public ::testing::Test {
protected:
    mime_table t;
};

struct lookup_case {
    const char *block;
    const char *type;
    long long size;
    int action;
    int option;  // expected option for reject, else ignored
};

TEST_F(MimeRules, Lookups)
{
    const lookup_case cases[] = {
        {"", "text/html", 10, MIME_SCAN, 0},
        {"", "", 0, MIME_SCAN, 0},
        {"text/html pass all", "text/html", 5000000, MIME_PASS, 0},
        {"text/html pass all", "TEXT/HTML", 1, MIME_PASS, 0},
        {"text/html pass all", "text/plain", 1, MIME_SCAN, 0},
        {"text/html pass all", "text/html2", 1, MIME_SCAN, 0},
        {"text reject -report 100 scan", "text/plain", 102400, MIME_REJECT, MIME_OPT_REPORT},
        {"text reject -report 100 scan", "text/plain", 102401, MIME_SCAN, 0},
        {"image pass 2m scan", "image/png", 3 * 1048576, MIME_SCAN, 0},
        {"image pass 2m scan", "image/png", 1048576, MIME_PASS, 0},
        {"image pass 2m scan", "image/png", 3221225472LL, MIME_SCAN, 0},  // beyond 2 GiB
        {"textual pass all", "text/html", 1, MIME_PASS, 0},
        {"te pass all", "text/html", 1, MIME_SCAN, 0},
        {"text pass all", "", 1, MIME_SCAN, 0},
        {"text pass all", "text", 1, MIME_SCAN, 0},
        {"text pass all", "/html", 1, MIME_SCAN, 0},
        {"* pass all", "application/zip", 1, MIME_PASS, 0},
        {"* pass all", "", 1, MIME_PASS, 0},
        {"* reject -trunc 1b pass\ntext scan all", "noslash", 1, MIME_REJECT, MIME_OPT_TRUNC},
        {"* reject -trunc 1b pass\ntext scan all", "noslash", 2, MIME_PASS, 0},
        {"text scan inf pass", "text/plain", 0, MIME_SCAN, 0},
        {"text scan inf pass", "text/plain", 1, MIME_PASS, 0},
        {"text pass all\ntext reject -trunc all", "text/css", 1, MIME_REJECT, MIME_OPT_TRUNC},
        {"text reject -trunc all\ntext/html pass all", "text/html", 1, MIME_PASS, 0},
        {"text reject -trunc all\ntext/html pass all", "text/plain", 1, MIME_REJECT, MIME_OPT_TRUNC},
        {"text pass all\ntextual reject -trunc all", "text/x", 1, MIME_PASS, 0},
        {"a scan 10b pass", "a/b", 10, MIME_SCAN, 0},
        {"a scan 10B pass", "a/b", 11, MIME_PASS, 0},
        {"a scan 1k pass", "a/b", 1024, MIME_SCAN, 0},
        {"a scan 1K pass", "a/b", 1025, MIME_PASS, 0},
        {"a scan 1M pass", "a/b", 1048576, MIME_SCAN, 0},
        {"a scan 1m pass", "a/b", 1048577, MIME_PASS, 0},
        {"a scan 5 pass", "a/b", 5120, MIME_SCAN, 0},
        {"a scan 5 pass", "a/b", 5121, MIME_PASS, 0},
        {"a scan 2047m pass", "a/b", 2146435072LL, MIME_SCAN, 0},
        {"  Text\tPASS   ALL trailing words\r\n\n   \n", "text/a", 1, MIME_PASS, 0},
        {"text pass all\nMimeEnd\ntext reject -report all", "text/a", 1, MIME_PASS, 0},
        {"text pass all mimeend", "text/a", 1, MIME_PASS, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.block) + " | " + c.type + " | " + std::to_string(c.size));
        mime_table table;
        mime_parse_block(table, c.block);
        int option = -99;
        const mime_rule *rule = nullptr;
        EXPECT_EQ(mime_find_rule(table, c.type, c.size, &option, &rule), c.action);
        if (c.action == MIME_REJECT)
            EXPECT_EQ(option, c.option);
        else
            EXPECT_EQ(option, -99);  // written only for reject
        EXPECT_NE(rule, nullptr);
    }
}

TEST_F(MimeRules, UpdateInPlaceKeepsOrderAndOneRule)
{
    mime_parse_block(t, "text pass all\nimage scan all\nTEXT reject -report 1 scan\n* pass all\n"
                     "text/html pass all\nText/HTML scan all\n");
    const auto &l1 = t.level1;
    ASSERT_EQ(l1.size(), 3u);
    EXPECT_EQ(l1[0].name, "*");
    EXPECT_EQ(l1[0].action1, MIME_PASS);
    EXPECT_EQ(l1[1].name, "text");
    EXPECT_EQ(l1[1].action1, MIME_REJECT);
    EXPECT_EQ(l1[1].threshold, 1024);
    EXPECT_EQ(l1[2].name, "image");
    ASSERT_EQ(t.level2.size(), 1u);
    EXPECT_EQ(t.level2[0].action1, MIME_SCAN);

    // A second block adds to the same lists.
    mime_parse_block(t, "video pass all");
    EXPECT_EQ(t.level1.size(), 4u);

    mime_table fresh;
    ASSERT_EQ(fresh.level1.size(), 1u);
    EXPECT_EQ(fresh.level1[0].action1, MIME_SCAN);
    EXPECT_EQ(fresh.level1[0].threshold, -1);
    EXPECT_TRUE(fresh.level2.empty());
}

TEST_F(MimeRules, DecidingRuleIsReported)
{
    mime_parse_block(t, "text pass all\ntext/html reject -report all\n");
    const mime_rule *rule = nullptr;
    int option = 0;
    mime_find_rule(t, "text/plain", 1, &option, &rule);
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(rule->name, "text");
    mime_find_rule(t, "Text/Html", 1, &option, &rule);
    EXPECT_EQ(rule->name, "text/html");
    mime_find_rule(t, "audio/ogg", 1, &option, &rule);
    EXPECT_EQ(rule->name, "*");
    mime_find_rule(t, nullptr, 1, &option, nullptr);  // no type and no rule wanted
}

TEST_F(MimeRules, FormattedRules)
{
    mime_parse_block(t, "text reject -report 100 scan\nimage pass 2m reject -trunc\n"
                     "a/b reject -trunc all\nc scan inf pass\n");
    const auto &l1 = t.level1;
    EXPECT_EQ(mime_format_rule("mime_level1:", l1[0]), "mime_level1: * = [scan all]");
    EXPECT_EQ(mime_format_rule(", rule:", l1[1]), ", rule: text = [reject -report <= 102400 > scan]");
    EXPECT_EQ(mime_format_rule("p", l1[2]), "p image = [pass <= 2097152 > reject -trunc]");
    EXPECT_EQ(mime_format_rule("p", l1[3]), "p c = [scan <= 0 > pass]");
    EXPECT_EQ(mime_format_rule("p", t.level2[0]), "p a/b = [reject -trunc all]");
}

// The lines of what was logged.
std::vector<std::string> log_lines(const log_capture &cap)
{
    std::istringstream in(cap.text());
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

TEST_F(MimeRules, EveryBlockPrintsBothLists)
{
    log_capture cap(LOG_L_FLOW);
    mime_parse_block(t, "text/html pass all\ntext reject -trunc 1b scan\n");
    std::vector<std::string> lines = log_lines(cap);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("DEBUG mime_level1: * = [scan all]"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("DEBUG mime_level1: text = [reject -trunc <= 1 > scan]"), std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find("DEBUG mime_level2: text/html = [pass all]"), std::string::npos) << lines[2];
}

TEST_F(MimeRules, UnknownCodesAreLogged)
{
    log_capture cap(LOG_L_INFO);
    mime_rule r;
    r.name = "x";
    r.action1 = 5;
    r.threshold = 7;
    r.action2 = MIME_REJECT;
    r.option2 = 9;
    EXPECT_EQ(mime_format_rule("p", r), "p x = [ <= 7 > reject]");
    std::vector<std::string> lines = log_lines(cap);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(cap.has("Wrong token type = 5\n"));
    EXPECT_TRUE(cap.has("Wrong token option = 9\n"));
    EXPECT_NE(lines[0].find("ERROR"), std::string::npos) << lines[0];
}

struct syntax_case {
    const char *block;
    int status;
    const char *logged;  // regular expression over the log
};

TEST(MimeRulesSyntax, ErrorsAreLoggedAndCarryTheStartupStatus)
{
    const syntax_case cases[] = {
        {"text scan", 7, "\\): ERROR Wrong mime syntax"},
        {"text scan 10x pass", 1, "\\): ERROR in parser mime type text \\(waiting for size\\)"},
        {"text reject all", 7,
         "\\): ERROR waiting for -trunc \\| -report but have: all\n.*\\): ERROR in parse mime type text\n"},
        {"text reject", 7, "\\): ERROR waiting for -trunc \\| -report but have: reject\n"},
        {"text bogus all", 7, "\\): ERROR waiting for scan \\| reject \\| pass but have: bogus\n"},
        {"text pass 100", 7, "\\): ERROR waiting for scan \\| reject \\| pass but have: \n.*in parse mime type text"},
        {"text pass 100 reject -x", 7, "but have: -x\n.*in parse mime type text"},
        {"image", 7, "but have: \n.*\\): ERROR in parse mime type image"},
        {"text pass all\n  MimeEnd", 7, "\\): ERROR in parse mime type MimeEnd"},
        {"text scan k pass", 1, "waiting for size"},
        {"text scan 1x2k pass", 1, "waiting for size"},
        {"text scan -1 pass", 1, "waiting for size"},
        {"text scan 2048m pass", 1, "waiting for size"},
        {"text scan 4096m pass", 1, "waiting for size"},
        {"text scan 99999999999b pass", 1, "waiting for size"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.block);
        log_capture cap(LOG_L_INFO);
        mime_table table;
        int status = -1;
        try {
            mime_parse_block(table, c.block);
        } catch (const mime_syntax_error &e) {
            status = e.exit_status;
        }
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(::testing::internal::RE::PartialMatch(cap.text(), ::testing::internal::RE(c.logged)))
            << cap.text();
    }
}

}  // namespace
