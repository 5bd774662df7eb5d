// The configuration scanner seen through its token stream: start conditions,
// keywords in any case, values, comments that end assignments, MIME blocks,
// the line counter, every lexical error, and the reset between scans.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "conf_parser/cf_lexer.h"

namespace {

// "NAME" or "NAME(value)" for each token, separated by blanks.
std::string render(const std::vector<cf_lexed_token> &toks)
{
    std::string out;
    for (auto &t : toks) {
        if (!out.empty())
            out += ' ';
        out += t.name;
        if (t.name == "CF_STRING" || t.name == "CF_ID" || t.name.compare(0, 12, "CF_EXPR_VAR_") == 0)
            out += "(" + t.value + ")";
    }
    return out;
}

std::string scan(const std::string &text)
{
    return render(cf_lexer_tokens(text.data(), text.size()));
}

std::string scan_error(const std::string &text)
{
    try {
        cf_lexer_tokens(text.data(), text.size());
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "(no error)";
}

struct token_case {
    const char *what;
    std::string text;
    const char *tokens;
};

TEST(Lexer, TokenStreams)
{
    const token_case cases[] = {
        {"assignment", "Foo = bar\n", "CF_ID(Foo) CF_ASSIGN CF_STRING(bar) CF_EOL"},
        {"empty value", "Foo =\n", "CF_ID(Foo) CF_ASSIGN CF_EOL"},
        {"no line end at the end", "Foo=bar", "CF_ID(Foo) CF_ASSIGN CF_STRING(bar)"},
        {"blank and comment lines", "\n# one\n  ; two\n\n", "CF_EOL CF_EOL CF_EOL CF_EOL"},
        {"unquoted value with a space gives two strings", "Foo = a b\n",
         "CF_ID(Foo) CF_ASSIGN CF_STRING(a) CF_STRING(b) CF_EOL"},
        {"quoted value with a space is one string", "Foo = \"a b\"\n",
         "CF_ID(Foo) CF_ASSIGN CF_STRING(a b) CF_EOL"},
        {"escaped quotes, other backslashes kept", "Foo = \"x\\\"y\\\"z\\n\\\\ \"\n",
         "CF_ID(Foo) CF_ASSIGN CF_STRING(x\"y\"z\\n\\\\ ) CF_EOL"},
        {"empty quoted string", "Foo = \"\"\n", "CF_ID(Foo) CF_ASSIGN CF_STRING() CF_EOL"},
        {"bytes above 0x7F inside quotes", "Foo = \"\xc3\xa9t\xc3\xa9\"\n",
         "CF_ID(Foo) CF_ASSIGN CF_STRING(\xc3\xa9t\xc3\xa9) CF_EOL"},
        {"value characters", "A = a=b [x] */:~|! $%&'()*+-.<>?@\\^_`\n",
         "CF_ID(A) CF_ASSIGN CF_STRING(a=b) CF_STRING([x]) CF_STRING(*/:~|!) "
         "CF_STRING($%&'()*+-.<>?@\\^_`) CF_EOL"},
        {"comma-separated values", "A = a, \"b c\",d\n",
         "CF_ID(A) CF_ASSIGN CF_STRING(a) CF_COMMA CF_STRING(b c) CF_COMMA CF_STRING(d) CF_EOL"},
        {"'#' comment ends the assignment", "Foo = bar # note = x\nBaz = 1\n",
         "CF_ID(Foo) CF_ASSIGN CF_STRING(bar) CF_EOL CF_ID(Baz) CF_ASSIGN CF_STRING(1) CF_EOL"},
        {"';' after a space ends the assignment", "Foo = bar ; note\nBaz = 1\n",
         "CF_ID(Foo) CF_ASSIGN CF_STRING(bar) CF_EOL CF_ID(Baz) CF_ASSIGN CF_STRING(1) CF_EOL"},
        {"';' at the end of the line", "Foo = bar ;\nBaz = 1\n",
         "CF_ID(Foo) CF_ASSIGN CF_STRING(bar) CF_EOL CF_ID(Baz) CF_ASSIGN CF_STRING(1) CF_EOL"},
        {"';' between letters is part of the value", "Foo = a;b\n",
         "CF_ID(Foo) CF_ASSIGN CF_STRING(a;b) CF_EOL"},
        {"';' directly followed by letters starts a value", "Foo = ;ab\n",
         "CF_ID(Foo) CF_ASSIGN CF_STRING(;ab) CF_EOL"},
        {"'#' inside a word ends it", "Foo = a#b\nX=1\n",
         "CF_ID(Foo) CF_ASSIGN CF_STRING(a) CF_EOL CF_ID(X) CF_ASSIGN CF_STRING(1) CF_EOL"},
        {"comment after a name without value", "Foo # c\n", "CF_ID(Foo) CF_EOL"},
        {"braces in a value", "f = {}\n", "CF_ID(f) CF_ASSIGN '{' '}' CF_EOL"},
        {"section headers in any case",
         "[MATCH]\n[Match]\n[match]\n[DEF]\n[dEf]\n[matches]\n[define]\n",
         "'[' CF_KW_MATCH ']' CF_EOL '[' CF_KW_MATCH ']' CF_EOL '[' CF_KW_MATCH ']' CF_EOL "
         "'[' CF_KW_DEF ']' CF_EOL '[' CF_KW_DEF ']' CF_EOL '[' CF_ID(matches) ']' CF_EOL "
         "'[' CF_ID(define) ']' CF_EOL"},
        {"section name then assignment", "[Main]\nFoo = 1\n",
         "'[' CF_ID(Main) ']' CF_EOL CF_ID(Foo) CF_ASSIGN CF_STRING(1) CF_EOL"},
        {"MimeStart with a trailing space is a name", "MimeStart \n", "CF_ID(MimeStart) CF_EOL"},
        {"MimeStart in brackets", "[MimeStart]\nx pass all\nMimeEnd\n",
         "CF_MIME_START CF_MIME_END CF_EOL"},
        {"MimeEnd ends the block mid-line", "mimestart\ntext pass all MIMEEND rest\n",
         "CF_MIME_START CF_MIME_END CF_ID(rest) CF_EOL"},
        {"MIME block without end at end of input", "MimeStart\ntext pass all\n", "CF_MIME_START"},
        {"CR LF gives two line ends", "A = 1\r\nB = 2\r\n",
         "CF_ID(A) CF_ASSIGN CF_STRING(1) CF_EOL CF_EOL CF_ID(B) CF_ASSIGN CF_STRING(2) CF_EOL CF_EOL"},
        {"match body with an if block",
         "[match]\nif request_ip <<= \"10.0.0.0/8\" {\nBlockPorno = yes\n}\n",
         "'[' CF_KW_MATCH ']' CF_EOL CF_KW_IF CF_EXPR_VAR_CIDR(request_ip) CF_EXPR_CIDR_BELONGS "
         "CF_STRING(10.0.0.0/8) '{' CF_EOL CF_ID(BlockPorno) CF_ASSIGN CF_STRING(yes) CF_EOL '}' CF_EOL"},
        {"keywords in any case inside expressions",
         "[match]\nIF REQUEST_URL == File: \"l\" || Request_Username ~ \"u\" && "
         "SYSTEM_TIME < \"1:00\" || REQUEST_IP <<= FILE:\"n\" {",
         "'[' CF_KW_MATCH ']' CF_EOL CF_KW_IF CF_EXPR_VAR_STRING(REQUEST_URL) CF_EXPR_EQ "
         "CF_LOOKUP_FILE CF_STRING(l) CF_EXPR_OR CF_EXPR_VAR_STRING(Request_Username) "
         "CF_EXPR_REGEX CF_STRING(u) CF_EXPR_AND CF_EXPR_VAR_TIME(SYSTEM_TIME) CF_EXPR_LT "
         "CF_STRING(1:00) CF_EXPR_OR CF_EXPR_VAR_CIDR(REQUEST_IP) CF_EXPR_CIDR_BELONGS "
         "CF_LOOKUP_FILE CF_STRING(n) '{'"},
        {"every operator, longest first",
         "[match]\nif <<= <= < >= > == != ! && || ~ ( ) << <<<= {",
         "'[' CF_KW_MATCH ']' CF_EOL CF_KW_IF CF_EXPR_CIDR_BELONGS CF_EXPR_LE CF_EXPR_LT "
         "CF_EXPR_GE CF_EXPR_GT CF_EXPR_EQ CF_EXPR_NEQ CF_EXPR_NOT CF_EXPR_AND CF_EXPR_OR "
         "CF_EXPR_REGEX '(' ')' CF_EXPR_LT CF_EXPR_LT CF_EXPR_LT CF_EXPR_CIDR_BELONGS '{'"},
        {"names that only start like keywords",
         "[match]\nif request_urls file f() system_time_x {\niffy = 1\n}\n",
         "'[' CF_KW_MATCH ']' CF_EOL CF_KW_IF CF_ID(request_urls) CF_ID(file) CF_ID(f) '(' ')' "
         "CF_ID(system_time_x) '{' CF_EOL CF_ID(iffy) CF_ASSIGN CF_STRING(1) CF_EOL '}' CF_EOL"},
        {"expressions span lines", "[match]\nif request_url == \"a\"\n  ||\n  f()\n{\n",
         "'[' CF_KW_MATCH ']' CF_EOL CF_KW_IF CF_EXPR_VAR_STRING(request_url) CF_EXPR_EQ "
         "CF_STRING(a) CF_EXPR_OR CF_ID(f) '(' ')' '{' CF_EOL"},
        {"comment inside an expression gives a line end",
         "[match]\nif f() # why\n{\n",
         "'[' CF_KW_MATCH ']' CF_EOL CF_KW_IF CF_ID(f) '(' ')' CF_EOL '{' CF_EOL"},
        {"def section", "[def]\nf = { request_url == \"a\" }\ng={f()}\n",
         "'[' CF_KW_DEF ']' CF_EOL CF_ID(f) CF_ASSIGN '{' CF_EXPR_VAR_STRING(request_url) "
         "CF_EXPR_EQ CF_STRING(a) '}' CF_EOL CF_ID(g) CF_ASSIGN '{' CF_ID(f) '(' ')' '}' CF_EOL"},
        {"a new header ends a match section", "[match]\n[sec]\nif = 1\n",
         "'[' CF_KW_MATCH ']' CF_EOL '[' CF_ID(sec) ']' CF_EOL CF_ID(if) CF_ASSIGN CF_STRING(1) CF_EOL"},
        {"if outside a match section is a name", "if = 1\n", "CF_ID(if) CF_ASSIGN CF_STRING(1) CF_EOL"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(scan(c.text), c.tokens);
    }
}

struct error_case {
    const char *what;
    std::string text;
    std::string message;
};

TEST(Lexer, Errors)
{
    const std::string p = "lexer error at line ";
    const error_case cases[] = {
        {"space inside brackets", "[ match]\n", p + "1: Unexpected symbol in section name:  "},
        {"space after the name", "[def x]\n", p + "1: Unexpected symbol in section name:  "},
        {"digit in a section name", "A=1\n[9]\n", p + "2: Unexpected symbol in section name: 9"},
        {"line end in a section name", "\n[abc\n]\n", p + "2: Unexpected EOL in section name"},
        {"CR in a section name", "[abc\r\n", p + "1: Unexpected EOL in section name"},
        {"unterminated quote", "A = 1\nB = \"abc\nC = 2\n", p + "2: unterminated quote"},
        {"CR inside a quote", "B = \"abc\r\n", p + "1: unterminated quote"},
        {"quote open at the end of input", "A = 1\nB = \"abc", p + "2: unterminated quote"},
        {"quote open at the end of an expression", "[match]\nif request_url == \"x {",
         p + "2: unterminated quote"},
        {"control byte in a global value", "A = a\x01z\n", p + "1: Unexpected symbol in assignment: \x01"},
        {"byte above 0x7F in a section value", "[s]\nA = caf\xc3\xa9\n",
         p + "2: Unexpected symbol in assignment: \xc3"},
        {"control byte in a match-section value ends in INITIAL",
         "[match]\nif f() {\nA = x\x7f\n}\n", p + "3: unrecognized input: \"\x7f\""},
        {"character that starts no expression token", "[match]\nif a & b {\n",
         p + "2: Unrecognized input in bool expression: \"&\""},
        {"unquoted time", "[match]\nif system_time > 10:00 {\n",
         p + "2: Unrecognized input in bool expression: \"1\""},
        {"comma in an expression", "[def]\nf = { g(), h() }\n",
         p + "2: Unrecognized input in bool expression: \",\""},
        {"MimeEnd out of a block", "A = 1\nMimeEnd\n", p + "2: MimeEnd out of mime section"},
        {"[MimeEnd] out of a block", "[MimeEnd]\r\n", p + "1: MimeEnd out of mime section"},
        {"brace in the global part", "\n\n{\n", p + "3: unrecognized input: \"{\""},
        {"digit at the start of a line", "1 = 2\n", p + "1: unrecognized input: \"1\""},
        {"CR LF counts one line", "A = 1\r\n{\n", p + "2: unrecognized input: \"{\""},
        {"lines inside a MIME block are counted", "MimeStart\na\nb\nMimeEnd\n[ x]\n",
         p + "5: Unexpected symbol in section name:  "},
        {"lines inside an expression are counted", "[match]\nif\n\nf()\n{\n}\n$\n",
         p + "7: unrecognized input: \"$\""},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(scan_error(c.text), c.message);
    }
}

TEST(Lexer, MimeTextEndsWithTheKeyword)
{
    const std::string text = "MimeStart\n  text pass all\r\nimage scan 2m pass\nx Mimeend y\n";
    auto toks = cf_lexer_tokens(text.data(), text.size());
    ASSERT_GE(toks.size(), 2u);
    EXPECT_EQ(toks[0].name, "CF_MIME_START");
    EXPECT_EQ(toks[1].name, "CF_MIME_END");
    EXPECT_EQ(toks[1].value, "  text pass all\r\nimage scan 2m pass\nx Mimeend");
    EXPECT_EQ(toks[1].line, 4);
    EXPECT_EQ(render(toks), "CF_MIME_START CF_MIME_END CF_ID(y) CF_EOL");
}

TEST(Lexer, MimeStartWithCarriageReturnKeepsTheLineFeed)
{
    const std::string text = "MimeStart\r\ntext pass all\r\nMimeEnd\r\n";
    auto toks = cf_lexer_tokens(text.data(), text.size());
    ASSERT_GE(toks.size(), 2u);
    EXPECT_EQ(toks[1].value, "\ntext pass all\r\nMimeEnd");
    EXPECT_EQ(toks[1].line, 3);
}

TEST(Lexer, ConditionsAfterTokens)
{
    // The brace after an expression is returned by MATCH_BODY; a comment
    // after a value leaves the assignment completely.
    const std::string text =
        "[match]\nif request_ip <<= \"10.0.0.0/8\" {\nA = 1 # note\n}\n[def]\nf = {f()}\n";
    auto toks = cf_lexer_tokens(text.data(), text.size());
    std::vector<std::pair<std::string, int>> got;
    for (auto &t : toks)
        got.push_back({t.name, t.condition});
    std::vector<std::pair<std::string, int>> want = {
        {"'['", CF_COND_SECTION_NAME}, {"CF_KW_MATCH", CF_COND_SECTION_NAME},
        {"']'", CF_COND_MATCH_BODY},   {"CF_EOL", CF_COND_MATCH_BODY},
        {"CF_KW_IF", CF_COND_BOOL_EXPR}, {"CF_EXPR_VAR_CIDR", CF_COND_BOOL_EXPR},
        {"CF_EXPR_CIDR_BELONGS", CF_COND_BOOL_EXPR}, {"CF_STRING", CF_COND_BOOL_EXPR},
        {"'{'", CF_COND_MATCH_BODY},   {"CF_EOL", CF_COND_MATCH_BODY},
        {"CF_ID", CF_COND_PARAM_NAME}, {"CF_ASSIGN", CF_COND_PARAM_VALUE},
        {"CF_STRING", CF_COND_PARAM_VALUE}, {"CF_EOL", CF_COND_MATCH_BODY},
        {"'}'", CF_COND_MATCH_BODY},   {"CF_EOL", CF_COND_MATCH_BODY},
        {"'['", CF_COND_SECTION_NAME}, {"CF_KW_DEF", CF_COND_SECTION_NAME},
        {"']'", CF_COND_DEF_BODY},     {"CF_EOL", CF_COND_DEF_BODY},
        {"CF_ID", CF_COND_PARAM_NAME}, {"CF_ASSIGN", CF_COND_PARAM_VALUE},
        {"'{'", CF_COND_BOOL_EXPR},    {"CF_ID", CF_COND_BOOL_EXPR},
        {"'('", CF_COND_BOOL_EXPR},    {"')'", CF_COND_BOOL_EXPR},
        {"'}'", CF_COND_PARAM_VALUE},  {"CF_EOL", CF_COND_DEF_BODY},
    };
    EXPECT_EQ(got, want);
}

TEST(Lexer, LineCounterFollowsLineFeedsOnly)
{
    const std::string text = "A = 1\r\nB = 2\rC = 3\n\nD = \"x\"\n";
    auto toks = cf_lexer_tokens(text.data(), text.size());
    std::vector<int> eol_lines;
    for (auto &t : toks)
        if (t.name == "CF_EOL")
            eol_lines.push_back(t.line);
    EXPECT_EQ(eol_lines, (std::vector<int>{1, 2, 2, 3, 4, 5}));
}

TEST(Lexer, ResetAfterErrorStartsFresh)
{
    // An error inside a quoted string of a match section leaves the stack
    // deep; the next scan starts in INITIAL, at line 1, with an ordinary
    // section kind (so "]" pushes nothing and "if" is a name).
    EXPECT_NE(scan_error("[match]\nif \"abc\n"), "(no error)");
    EXPECT_EQ(cf_lexer_line(), 1);
    EXPECT_EQ(cf_lexer_condition(), CF_COND_INITIAL);
    EXPECT_EQ(cf_lexer_section_kind(), CF_SECTION_ORDINARY);
    EXPECT_EQ(cf_token_strings_count(), 0u);
    EXPECT_EQ(scan("]\nif = 1\n"), "']' CF_EOL CF_ID(if) CF_ASSIGN CF_STRING(1) CF_EOL");

    EXPECT_EQ(scan("[match]\n"), "'[' CF_KW_MATCH ']' CF_EOL");
    EXPECT_EQ(scan("]\nif = 1\n"), "']' CF_EOL CF_ID(if) CF_ASSIGN CF_STRING(1) CF_EOL");
    EXPECT_EQ(cf_lexer_take_mime_text(), "");
}

TEST(Lexer, NulBytesAreInput)
{
    // The scanner works on a copy with its own terminators, so a NUL inside
    // the text is an ordinary (bad) byte and the text after it is not lost.
    const std::string in_quotes("A = \"a\0b\"\n", 10);
    auto toks = cf_lexer_tokens(in_quotes.data(), in_quotes.size());
    ASSERT_EQ(toks.size(), 4u);
    EXPECT_EQ(toks[3].name, "CF_EOL");

    const std::string in_value("A = a\0b\n", 8);
    EXPECT_EQ(scan_error(in_value), "lexer error at line 1: Unexpected symbol in assignment: ");
}

TEST(Lexer, TokenStringsAreCollectedUntilFreed)
{
    cf_lexer_begin("A = b, \"c\"\n", 11);
    while (cf_lexer_next() != 0) {
    }
    EXPECT_EQ(cf_token_strings_count(), 3u);  // A, b and c
    cf_lexer_reset();
    cf_token_strings_free();
    EXPECT_EQ(cf_token_strings_count(), 0u);
}

}  // namespace
