// IPv4 networks (parsing, containment, text form) and regular expressions
// (compilation, case-insensitive unanchored matching, copies).
#include <gtest/gtest.h>

#include "cf_test_util.h"
#include "conf_parser/cidr.h"
#include "conf_parser/compiled_re.h"
#include "support/log_capture.h"

using cf_test::error_of;

TEST(Cidr, ParsesToTextForm)
{
    struct { const char *text; const char *form; } cases[] = {
        {"192.168.1.77/24", "192.168.1.77/255.255.255.0"},
        {"10.0.0.1", "10.0.0.1/255.255.255.255"},
        {"0.0.0.0/0", "0.0.0.0/0.0.0.0"},
        {"10.1.0.0/16", "10.1.0.0/255.255.0.0"},
        {"172.16.0.0/12", "172.16.0.0/255.240.0.0"},
        {"1.2.3.4/32", "1.2.3.4/255.255.255.255"},
        {"255.255.255.255/1", "255.255.255.255/128.0.0.0"},
    };
    for (auto &c : cases) {
        cidr_ptr p = make_cidr(c.text);
        ASSERT_TRUE(p) << c.text;
        EXPECT_EQ(p->to_string(), c.form) << c.text;
    }
    EXPECT_FALSE(make_cidr(""));
}

TEST(Cidr, Errors)
{
    const std::string cast = "bad lexical cast: source type value could not be interpreted as target";
    struct { const char *text; std::string msg; } cases[] = {
        {"10.0.0.0/33", "Invalid mask"},
        {"10.0.0.0/4294967296", cast},
        {"10.0.0.0/", "No mask"},
        {"/", "No mask"},
        {"10.0.0/8", "Error converting address"},
        {"proxy.example.com", "Error converting address"},
        {"10.1.2.300", "Error converting address"},
        {" 10.0.0.1", "Error converting address"},
        {"/8", "Error converting address"},
        {"10.0.0.0/x", cast},
        {"10.0.0.0/ 8", cast},
        {"10.0.0.0/-1", cast},
        {"10.0.0.0/+8", cast},
        {"10.0.0.0/8/8", cast},
    };
    for (auto &c : cases)
        EXPECT_EQ(error_of([&] { make_cidr(c.text); }), c.msg) << c.text;
    EXPECT_THROW(make_cidr("10.0.0.0/33"), make_cidr_error);
    EXPECT_THROW(make_cidr("1.2.3"), make_cidr_error);
}

TEST(Cidr, Containment)
{
    struct { const char *outer, *inner; bool want; } cases[] = {
        {"192.168.1.77/24", "192.168.1.5", true},
        {"192.168.1.77/24", "192.168.2.5", false},
        {"192.168.1.0/24", "192.168.1.0/24", true},
        {"192.168.1.0/24", "192.168.1.128/25", true},
        {"192.168.1.128/25", "192.168.1.0/24", false},
        {"10.0.0.1", "10.0.0.1", true},
        {"10.0.0.1", "10.0.0.2", false},
        {"10.0.0.1", "10.0.0.0/31", false},
        {"0.0.0.0/0", "255.255.255.255", true},
        {"0.0.0.0/0", "0.0.0.0/0", true},
        {"0.0.0.0/0", "1.2.3.4", true},
        {"255.0.0.0/8", "255.255.255.255", true},
    };
    for (auto &c : cases) {
        cidr_ptr outer = make_cidr(c.outer), inner = make_cidr(c.inner);
        EXPECT_EQ(outer->contains(*inner), c.want) << c.outer << " contains " << c.inner;
        EXPECT_EQ(inner->belongs(*outer), c.want) << c.inner << " belongs " << c.outer;
        EXPECT_EQ(cidr_belongs(inner, outer), c.want);
    }
}

TEST(Cidr, UndefinedAddresses)
{
    cidr_ptr net = make_cidr("10.0.0.0/8"), host = make_cidr("10.1.1.1");
    EXPECT_TRUE(cidr_belongs(nullptr, nullptr));
    EXPECT_FALSE(cidr_belongs(nullptr, net));
    EXPECT_FALSE(cidr_belongs(host, nullptr));
    EXPECT_TRUE(cidr_belongs(host, net));
}

TEST(Regex, MatchesAnywhereWithoutCase)
{
    struct { const char *pattern, *text; bool want; } cases[] = {
        {"EXAMPLE", "http://www.example.com/", true},
        {"^abc", "ABCdef", true},
        {"^abc", "xabc", false},
        {"\\.exe$", "http://x/setup.EXE", true},
        {"\\.exe$", "http://x/setup.exe?x=1", false},
        {"(a|b)+c", "zzabbac", true},
        {"", "anything", true},
    };
    for (auto &c : cases)
        EXPECT_EQ(compiled_re(c.pattern).match(c.text), c.want) << c.pattern << " ~ " << c.text;
}

TEST(Regex, BadPatternsNameThePattern)
{
    for (const char *bad : {"(", "a[b", "*{1,", "a{2,1}"})
        EXPECT_EQ(error_of([&] { compiled_re r(bad); }),
                  std::string("Invalid regex: \"") + bad + "\"") << bad;
}

// Stacked and nested repeats make regcomp copy the repeated part again for
// each one: such patterns are refused before they take the memory, while
// the repeats real URL patterns use still compile and match.
TEST(Regex, RepeatsThatMultiplyAreRefused)
{
    for (std::string bad : {std::string("x") + std::string(26, '+'), std::string("((((((((((((((((((a+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+)+"),
                            std::string("(a{1000}){1000}"), std::string("[a-z]{2,300}{2,300}{2,300}")})
    {
        log_capture log;
        EXPECT_EQ(error_of([&] { compiled_re r(bad); }), "Invalid regex: \"" + bad + "\"") << bad;
        EXPECT_TRUE(log.has("Regex repeats expand beyond 100000 atoms: \"" + bad + "\"\n")) << log.text();
    }
    EXPECT_TRUE(compiled_re("^http://([a-z0-9-]+\\.)+example\\.(com|org)/[^?]{1,255}$").match("http://a.b.example.com/x"));
    EXPECT_TRUE(compiled_re("([0-9]{1,3}\\.){3}[0-9]{1,3}").match("10.0.0.1"));
    EXPECT_TRUE(compiled_re("a{1000}").match(std::string(1000, 'a')));
}

TEST(Regex, CopiesAndMovesStayUsable)
{
    compiled_re a("^foo");
    compiled_re b(a);
    compiled_re c("bar");
    c = a;
    compiled_re d(std::move(a));
    for (const compiled_re *r : {&b, &c, &d}) {
        EXPECT_EQ(r->pattern(), "^foo");
        EXPECT_TRUE(r->match("FOOx"));
        EXPECT_FALSE(r->match("xfoo"));
    }
    compiled_re e(a);  // a moved-from shell copies as a shell
    EXPECT_EQ(error_of([&] { e.match("x"); }), "Error in regexec()");
}
