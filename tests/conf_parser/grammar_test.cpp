// The configuration grammar through the parse entry: configuration texts
// with their exact outcome (what reached the registry and the callbacks, in
// order, or the exact error with its line number), operator grouping, the
// release of everything after a parse, and hostile input.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "conf_parser/cf_expr.h"
#include "conf_parser/cf_lexer.h"
#include "conf_parser/cf_parse.h"
#include "conf_parser/cf_parser.h"
#include "support/support.h"

namespace {

// An expression printed on one line: the outline with its indentation
// dropped and its lines joined by blanks.
std::string flat(const expr::expression &e)
{
    std::istringstream in(expr::print_to_string(e));
    std::string out, line;
    while (std::getline(in, line)) {
        while (line.compare(0, 4, "|   ") == 0)
            line.erase(0, 4);
        out += (out.empty() ? "" : " ") + line;
    }
    return out;
}

std::string show(const std::string &v) { return v; }
std::string show(bool v) { return v ? "true" : "false"; }
std::string show(int v) { return std::to_string(v); }
std::string show(unsigned long v) { return std::to_string(v); }
std::string show(const std::vector<std::string> &v)
{
    std::string out = "[";
    for (size_t i = 0; i < v.size(); i++)
        out += (i ? "," : "") + v[i];
    return out + "]";
}

// A parse context with a few parameters of every type whose setters, like
// the callbacks, write what they receive to one event log.
class test_context {
public:
    cf_parser p;
    std::vector<std::string> events;
    cf_functions functions;

    test_context()
    {
        global<std::string>("Name");
        overridable<std::string>("Title", 1);
        global<bool>("GFlag");
        overridable<bool>("Flag", 1);
        global<digital_t>("Count");
        overridable<digital_t>("Level", 1);
        global<cf_parser::string_list>("Files");
        overridable<cf_parser::string_list>("Hosts", 1);
        overridable<unsigned long>("Limit", 1);
        p.add_expr = [this](const expr::expression_ptr &e) { events.push_back("block " + flat(*e)); };
        p.add_func = [this](const std::string &name, const expr::expression_ptr &e) {
            functions.add(name, e);
            events.push_back("func " + name + " " + flat(*e));
        };
        p.get_func = [this](const std::string &name) { return functions.get(name); };
        p.add_mime_block = [this](const std::string &text) { events.push_back("mime " + text); };
    }

    // "OK" and the events, or the error text.
    std::string run(const std::string &text)
    {
        try {
            cf_parse_text(p, text.data(), text.size());
        } catch (const std::exception &e) {
            return e.what();
        }
        std::string out = "OK";
        for (auto &e : events)
            out += " | " + e;
        return out;
    }

private:
    template <class T>
    void global(const std::string &name)
    {
        p.register_param<T>(name, [this, name](const T &v) { events.push_back("set " + name + "=" + show(v)); });
    }
    template <class T>
    void overridable(const std::string &name, int rid)
    {
        p.register_param<T>(
            name, [this, name](const T &v) { events.push_back("set " + name + "=" + show(v)); }, rid,
            [this, name](const T &v) { events.push_back("override " + name + "=" + show(v)); });
    }
};

std::string parse(const std::string &text)
{
    test_context ctx;
    return ctx.run(text);
}

struct grammar_case {
    const char *what;
    std::string text;
    std::string outcome;
};

const std::string P = "parser error at line ";
const std::string URL_A = "op_ieq_string ( value_var_string(request_url) value_const_string(\"a\") )";
const std::string URL_B = "op_ieq_string ( value_var_string(request_url) value_const_string(\"b\") )";

TEST(Grammar, Outcomes)
{
    const grammar_case cases[] = {
        // Layout of a file.
        {"empty file", "", "OK"},
        {"blank and comment lines only", "\n# one\n; two\n   \n\r\n", "OK"},
        {"assignments only", "Name = x\nCount = 5\nname = y", "OK | set Name=x | set Count=5 | set Name=y"},
        {"first line is a header", "[main]\nName = x\n", "OK | set Name=x"},
        {"global part, then sections, empty ones too",
         "\n\nName = a\n\n[s1]\nCount = 1\n\n[s2]\n[s3]\n\nFlag = yes\n\n",
         "OK | set Name=a | set Count=1 | set Flag=true"},
        {"empty value", "Name =\nHosts =\n", "OK | set Name= | set Hosts=[]"},
        {"CR LF line ends", "Name = a\r\n[s]\r\nCount = 2\r\n\r\n", "OK | set Name=a | set Count=2"},
        {"sizes and lists", "Limit = 2m\nHosts = a, \"b c\" ,d\nFiles = x\n",
         "OK | set Limit=2097152 | set Hosts=[a] | set Hosts=[b c] | set Hosts=[d] | set Files=[x]"},

        // Match sections and if-blocks.
        {"if-block overrides attach to their block",
         "[match]\nif request_url == \"a\" {\nTitle = t\nFlag = no\n}\n",
         "OK | block " + URL_A + " | override Title=t | override Flag=false"},
        {"brace after line ends and a comment",
         "[match]\nIF Request_URL == \"a\" # why\n\n{\n\n  Level = 3 ; note\n\n}\n",
         "OK | block op_ieq_string ( value_var_string(Request_URL) value_const_string(\"a\") ) | "
         "override Level=3"},
        {"empty if-block creates no block",
         "[match]\nif request_url == \"a\" {\n}\nif request_url == \"b\" {\nTitle = t\n}\n",
         "OK | block " + URL_B + " | override Title=t"},
        {"empty if-block with blank lines", "[match]\nif request_url == \"a\" {\n\n\n}\n", "OK"},
        {"header ends the match scope",
         "[match]\nif request_url == \"a\" {\nTitle = a\n}\n[s]\nTitle = b\n[def]\n[t]\nTitle = c\n",
         "OK | block " + URL_A + " | override Title=a | set Title=b | set Title=c"},
        {"match section with only a header", "[match]\n[s]\nName = x\n", "OK | set Name=x"},

        // Functions.
        {"function used after its definition",
         "[def]\nf = { request_url == \"a\" }\n\ng = {f() || request_url == \"b\"}\n"
         "[match]\nif !f() {\nTitle = t\n}\n",
         "OK | func f " + URL_A + " | func g or ( f() " + URL_B + " ) | block not ( f() ) | override Title=t"},
        {"function defined later", "[match]\nif f() {\nTitle = t\n}\n[def]\nf = { request_url == \"a\" }\n",
         P + "2: Function f not found"},
        {"function calling itself", "[def]\nf = { f() }\n", P + "2: Function f not found"},
        {"function defined twice", "[def]\nf = { request_url == \"a\" }\nf = { request_url == \"b\" }\n",
         P + "3: Function f already exists"},
        {"function names keep their case",
         "[def]\nf = { request_url == \"a\" }\nF = { request_url == \"b\" }\n[match]\nif F() {\nTitle = t\n}\n",
         "OK | func f " + URL_A + " | func F " + URL_B + " | block F() | override Title=t"},

        // Assignment errors carry the line after the assignment.
        {"unknown parameter", "Name = x\nNope = 1\nCount = 2\n", P + "3: Param not found"},
        {"unknown parameter on the last line", "Nope = 1", P + "1: Param not found"},
        {"bad value", "\nFlag = maybe\n", P + "3: Error parsing bool"},
        {"two values for a single-value parameter", "Name = a, b\n", P + "2: Param not found"},
        {"list for an unknown name", "Nope = a, b, c\n", P + "2: Param not found"},
        {"global-only parameter in an if-block",
         "[match]\nif request_url == \"a\" {\nName = x\n}\n", P + "4: Param Name is global only"},
        {"bad value of a global-only parameter in an if-block",
         "[match]\nif request_url == \"a\" {\nCount = x\n}\n", P + "4: Error parsing digital_t"},
        {"list in an if-block", "[match]\nif request_url == \"a\" {\nHosts = a, b\n}\n",
         P + "4: Param Hosts: list values cannot be overridden"},
        {"single string list value in an if-block",
         "[match]\nif request_url == \"a\" {\nHosts = a\n}\n",
         "OK | block " + URL_A + " | override Hosts=[a]"},

        // Constants and operands.
        {"bad time without line prefix", "[match]\nif system_time > \"25:00\" {\nTitle = t\n}\n",
         "Error parsing time from string \"25:00\": values out of range"},
        {"bad network on its own line", "[match]\nif request_url == \"a\" ||\n\n request_ip <<= \"10.0.0.0/33\"\n{\n",
         P + "4: Invalid mask"},
        {"network mask that is no number", "[match]\nif request_ip <<= \"10.0.0.0/x\" {\n",
         P + "2: bad lexical cast: source type value could not be interpreted as target"},
        {"bad regular expression", "[match]\nif request_username ~ \"(\" {\n", P + "2: Invalid regex: \"(\""},
        {"regular expression whose repeats multiply", "[match]\nif request_url ~ \"x++++++++++++++++++++++++++\" {\n",
         P + "2: Invalid regex: \"x++++++++++++++++++++++++++\""},
        {"missing line file", "[match]\nif request_url == file:\"/nonexistent/list\" {\n",
         P + "2: Error opening file: /nonexistent/list"},
        {"missing line file of networks", "[def]\nf = { request_ip <<= FILE: \"/nonexistent/n\" }\n",
         P + "2: Error opening file: /nonexistent/n"},
        {"missing line file of patterns", "[def]\nf = {\nrequest_url ~ file:\"/nonexistent/r\"}\n",
         P + "3: Error opening file: /nonexistent/r"},
        {"every comparison",
         "[def]\nf = { system_time < \"1:00\" && system_time > system_time && system_time <= \"02:30\" && "
         "system_time >= \"23:59\" }\ng = { request_username != request_url || request_url ~ \"^x\" || "
         "request_ip <<= request_ip || request_ip <<= \"10.1.2.3\" }\n",
         "OK | func f and ( and ( and ( op_lt_time ( value_var_time(system_time) value_const_time(\"01:00\") ) "
         "op_gt_time ( value_var_time(system_time) value_var_time(system_time) ) ) "
         "op_le_time ( value_var_time(system_time) value_const_time(\"02:30\") ) ) "
         "op_ge_time ( value_var_time(system_time) value_const_time(\"23:59\") ) ) "
         "| func g or ( or ( or ( op_ineq_string ( value_var_string(request_username) "
         "value_var_string(request_url) ) string_op_regex ( value_var_string(request_url) "
         "value_const_regex(\"^x\") ) ) op_belongs_cidr ( value_var_cidr(request_ip) "
         "value_var_cidr(request_ip) ) ) op_belongs_cidr ( value_var_cidr(request_ip) "
         "value_const_cidr(\"10.1.2.3/255.255.255.255\") ) )"},

        // Operator grouping.
        {"! binds tighter than || and a comparison is one operand",
         "[def]\nf = { !request_url == \"a\" || request_ip <<= \"10.0.0.0/8\" }\n",
         "OK | func f or ( not ( " + URL_A + " ) op_belongs_cidr ( value_var_cidr(request_ip) "
         "value_const_cidr(\"10.0.0.0/255.0.0.0\") ) )"},
        {"&& binds tighter than ||",
         "[def]\na = {request_url==\"a\"}\nf = { a() || a() && a() }\n",
         "OK | func a " + URL_A + " | func f or ( a() and ( a() a() ) )"},
        {"|| and && group to the left",
         "[def]\na = {request_url==\"a\"}\nf = { a() || a() || a() }\ng = { a() && a() && a() }\n",
         "OK | func a " + URL_A + " | func f or ( or ( a() a() ) a() ) | func g and ( and ( a() a() ) a() )"},
        {"parentheses group", "[def]\na = {request_url==\"a\"}\nf = { !(a() || a()) && (a()) }\n",
         "OK | func a " + URL_A + " | func f and ( not ( or ( a() a() ) ) a() )"},

        // MIME blocks.
        {"MIME block in the global part, handed over once",
         "MimeStart\ntext pass all\nMimeEnd\nName = x\n",
         "OK | mime text pass all\nMimeEnd | set Name=x"},
        {"two MIME blocks in a section, each with its own text",
         "[s]\nMimeStart\na pass all\nMimeEnd\nCount = 1\n[MimeStart]\nb pass all MimeEnd\n",
         "OK | mime a pass all\nMimeEnd | set Count=1 | mime b pass all MimeEnd"},
        {"MIME block in an if-block", "[match]\nif request_url == \"a\" {\n[MimeStart]\nx\ny pass all\nMimeEnd\n}\n",
         P + "6: Mime parameters cannot be overriden"},
        {"MIME block left open", "MimeStart\ntext pass all\n",
         P + "3: syntax error, unexpected $end, expecting CF_MIME_END"},

        // Syntax errors.
        {"value with a blank", "Name = a b\n",
         P + "1: syntax error, unexpected CF_STRING, expecting $end"},
        {"header left open", "[sec", P + "1: syntax error, unexpected $end, expecting ']'"},
        {"name without value", "Name\n", P + "2: syntax error, unexpected CF_EOL, expecting CF_ASSIGN"},
        {"assignment in a match section", "[match]\nName = 1\n",
         P + "2: syntax error, unexpected CF_ID, expecting $end"},
        {"if-block body on the brace line", "[match]\nif request_url == \"x\" { Title = t }\n",
         P + "2: syntax error, unexpected CF_ID, expecting CF_EOL"},
        {"closing brace after the last value", "[match]\nif request_url == \"x\" {\nTitle = t }\n",
         P + "3: syntax error, unexpected '}', expecting CF_EOL"},
        {"if without brace", "[match]\nif request_url == \"x\"\n",
         P + "3: syntax error, unexpected $end, expecting '{'"},
        {"string variable with <", "[match]\nif request_url < \"1\" {\n",
         P + "2: syntax error, unexpected CF_EXPR_LT, expecting CF_EXPR_EQ or CF_EXPR_NEQ or CF_EXPR_REGEX"},
        {"time variable with ==", "[match]\nif system_time == \"1:00\" {\n",
         P + "2: syntax error, unexpected CF_EXPR_EQ, expecting CF_EXPR_GT or CF_EXPR_GE or CF_EXPR_LT or "
             "CF_EXPR_LE"},
        {"file: after !=", "[match]\nif request_url != file:\"x\" {\n",
         P + "2: syntax error, unexpected CF_LOOKUP_FILE, expecting CF_STRING or CF_EXPR_VAR_STRING"},
        {"constant on the left", "[match]\nif \"a\" == request_url {\n",
         P + "2: syntax error, unexpected CF_STRING"},
        {"more than four tokens expected", "[match]\nif {\n", P + "2: syntax error, unexpected '{'"},
        {"assignment in a def section", "[def]\nName = x\n",
         P + "2: syntax error, unexpected CF_STRING, expecting '{'"},
        {"function with an argument", "[def]\nf = { g(x) }\n", P + "2: syntax error, unexpected CF_ID, expecting ')'"},
        {"if-blocks do not nest",
         "[match]\nif request_url == \"a\" {\nif request_url == \"b\" {\n",
         P + "3: syntax error, unexpected CF_KW_IF, expecting CF_EOL or CF_MIME_START or CF_ID"},
        {"lexical error inside a parse", "Name = x\n[ s]\n",
         "lexer error at line 2: Unexpected symbol in section name:  "},
        {"quote open at the end", "Name = \"abc", "lexer error at line 1: unterminated quote"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(parse(c.text), c.outcome);
    }
}

TEST(Grammar, LineFilesAreLoadedWhenParsed)
{
    tvx_test::temp_dir dir;
    tvx_test::write_file(dir / "urls", "http://a/\n# comment\nhttp://b/\n");
    tvx_test::write_file(dir / "nets", "10.0.0.0/8\n192.168.1.1\n");
    tvx_test::write_file(dir / "res", "^x\n(\n");
    test_context ctx;
    std::string text = "[def]\nu = { request_url == file:\"" + dir / "urls" +
                       "\" }\nn = { request_ip <<= file:\"" + dir / "nets" + "\" }\n";
    EXPECT_EQ(ctx.run(text), "OK | func u op_list_ieq ( value_var_string(request_url) list(\"" + dir / "urls" +
                                 "\") ) | func n op_list_belongs ( value_var_cidr(request_ip) list(\"" +
                                 dir / "nets" + "\") )");
    EXPECT_EQ(parse("[def]\n\nr = { request_url ~ file:\"" + dir / "res" + "\" }\n"),
              P + "3: Invalid regex: \"(\"");
}

TEST(Grammar, UnboundCallbacks)
{
    const std::string block = "[match]\nif request_url == \"a\" {\nTitle = t\n}\n";
    {
        test_context ctx;
        ctx.p.add_expr = nullptr;
        EXPECT_EQ(ctx.run(block), "run_callback_add_expr: expression callback not registered");
        // An empty block calls nothing.
        EXPECT_EQ(ctx.run("[match]\nif request_url == \"a\" {\n}\n"), "OK");
    }
    {
        test_context ctx;
        ctx.p.add_func = nullptr;
        EXPECT_EQ(ctx.run("[def]\nf = { request_url == \"a\" }\n"),
                  P + "2: run_callback_add_func: add function callback not registered");
    }
    {
        test_context ctx;
        ctx.p.get_func = nullptr;
        EXPECT_EQ(ctx.run("[def]\nf = { g() }\n"),
                  P + "2: run_callback_get_func: get function callback not registered");
    }
    {
        test_context ctx;
        ctx.p.add_mime_block = nullptr;
        EXPECT_EQ(ctx.run("MimeStart\nMimeEnd\n"),
                  P + "2: run_callback_add_mime_block: mime block callback not registered");
    }
}

TEST(Grammar, EachParseStartsGlobalAndFresh)
{
    test_context ctx;
    // The first text ends inside a match section and in the middle of an
    // expression; the next parse is global again, at line 1.
    EXPECT_EQ(ctx.run("[match]\nif request_url == \"a\" {\nTitle = a\n}\n"),
              "OK | block " + URL_A + " | override Title=a");
    EXPECT_EQ(ctx.run("Title = b\n"), "OK | block " + URL_A + " | override Title=a | set Title=b");
    ctx.events.clear();
    EXPECT_NE(ctx.run("[match]\nif (request_url == \"a\" || \n"), "OK");
    EXPECT_EQ(cf_token_strings_count(), 0u);
    EXPECT_EQ(cf_lexer_line(), 1);
    EXPECT_EQ(ctx.run("Title = c\nNope = 1\n"), P + "3: Param not found");
}

TEST(Grammar, SetterErrorsGetTheLinePrefix)
{
    test_context ctx;
    ctx.p.register_param<std::string>("User", [](const std::string &v) {
        throw std::runtime_error("failed to parse User: no such account " + v);
    });
    EXPECT_EQ(ctx.run("\nUser = nobody-here\n"), P + "3: failed to parse User: no such account nobody-here");
}

TEST(Grammar, DeepNestingEndsInMemoryExhausted)
{
    std::string text = "[match]\nif " + std::string(20000, '(') + "request_url == \"a\"" +
                       std::string(20000, ')') + " {\nTitle = t\n}\n";
    EXPECT_EQ(parse(text), P + "2: memory exhausted");
    // A nesting that fits parses.
    std::string fits = "[match]\nif " + std::string(500, '!') + "request_url == \"a\" {\nTitle = t\n}\n";
    EXPECT_EQ(parse(fits).substr(0, 14), "OK | block not");
}

TEST(Grammar, HostileTextsFailCleanly)
{
    // Fragments of the language shuffled into many texts: every parse either
    // succeeds or throws one runtime_error, and leaves nothing behind.
    const char *frags[] = {"[", "]", "match", "def", "s", "if", " ", "\n", "\r", "{", "}", "(", ")",
                           "Name", "Title", "Hosts", "=", "\"", "a", ",", "#", ";", "!", "&&", "||",
                           "==", "!=", "~", "<<=", "<", ">=", "request_url", "request_ip",
                           "system_time", "\"1:00\"", "\"10.0.0.0/8\"", "f()", "MimeStart\n",
                           "MimeEnd", "file:", "\\", "\x01", "\xff", "9"};
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> pick(0, sizeof frags / sizeof frags[0] - 1);
    std::uniform_int_distribution<int> len(1, 40);
    int ok = 0, failed = 0;
    for (int i = 0; i < 3000; i++) {
        std::string text = i % 2 ? "[match]\nif " : "";
        for (int n = len(rng); n > 0; n--)
            text += frags[pick(rng)];
        test_context ctx;
        ctx.p.add_mime_block = nullptr;  // keep MIME text out of the events
        try {
            cf_parse_text(ctx.p, text.data(), text.size());
            ok++;
        } catch (const std::runtime_error &) {
            failed++;
        }
        ASSERT_EQ(cf_token_strings_count(), 0u) << text;
        ASSERT_EQ(cf_lexer_line(), 1) << text;
    }
    EXPECT_GT(ok, 0);
    EXPECT_GT(failed, 0);
}

}  // namespace
