// Value parsers (bool, digital_t, size, string list) and line files read
// from a real directory, including CR LF files and the load log lines.
#include <gtest/gtest.h>

#include <stdexcept>

#include "cf_test_util.h"
#include "conf_parser/cidr.h"
#include "conf_parser/compiled_re.h"
#include "conf_parser/values.h"
#include "log/log.h"
#include "support/support.h"

using cf_test::error_of;

TEST(ValueParsers, Bool)
{
    struct { const char *text; bool want; } ok[] = {
        {"true", true}, {"TRUE", true}, {"yes", true}, {"YES", true},
        {"false", false}, {"No", false}, {"no", false}, {"fAlSe", false},
    };
    for (auto &c : ok)
        EXPECT_EQ(cf_parse_bool(c.text), c.want) << c.text;
    for (const char *bad : {"", "1", "0", "on", "off", "yes ", " no", "y", "nope", "truee"})
        EXPECT_EQ(error_of([&] { cf_parse_bool(bad); }), "Error parsing bool") << bad;
}

TEST(ValueParsers, Digital)
{
    struct { const char *text; int want; } ok[] = {
        {"42", 42}, {" 42", 42}, {"\t42", 42}, {"-7", -7}, {"+8", 8}, {"0", 0},
        {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1},
    };
    for (auto &c : ok)
        EXPECT_EQ(cf_parse_digital(c.text), c.want) << c.text;
    for (const char *bad : {"", " ", "42 ", "4x", "0x10", "x", "-", "1.5",
                            "2147483648", "-2147483649", "99999999999999999999"})
        EXPECT_EQ(error_of([&] { cf_parse_digital(bad); }), "Error parsing digital_t") << bad;
}

TEST(ValueParsers, Size)
{
    struct { const char *text; unsigned long want; } ok[] = {
        {"10", 10240}, {"10k", 10240}, {"10K", 10240}, {"10m", 10485760}, {"10M", 10485760},
        {"10b", 10}, {"inf", 0}, {"INF", 0}, {"Inf", 0}, {"0", 0},
        {"18014398509481983", 18014398509481983ul * 1024},
        {"18014398509481983k", 18014398509481983ul * 1024},
        {"17592186044415m", 17592186044415ul * 1048576},
        {"18446744073709551615b", 18446744073709551615ul},
    };
    for (auto &c : ok)
        EXPECT_EQ(cf_parse_size(c.text), c.want) << c.text;

    for (const char *bad : {"", "10B", "10 k", " 10", "10kb", "k", "10x", "-1", "-1b", "+1",
                            "infinity", "10m ", "1.5m"})
        EXPECT_EQ(error_of([&] { cf_parse_size(bad); }), "Error parsing size") << bad;

    for (const char *big : {"18014398509481984", "18014398509481984k", "17592186044416M",
                            "18446744073709551616b", "99999999999999999999999"}) {
        EXPECT_THROW(cf_parse_size(big), std::overflow_error) << big;
        EXPECT_EQ(error_of([&] { cf_parse_size(big); }), "Error parsing size: overflow") << big;
    }
    // The limit is checked before the rest of the text.
    EXPECT_THROW(cf_parse_size("18014398509481984kb"), std::overflow_error);
}

TEST(ValueParsers, StringListElement)
{
    EXPECT_EQ(cf_parse_string_list("a b"), std::vector<std::string>{"a b"});
    EXPECT_TRUE(cf_parse_string_list("").empty());
}

class LineFiles : public ::testing::Test {
protected:
    tvx_test::temp_dir dir;
    std::string log_path;
    void SetUp() override
    {
        log_path = dir / "log";
        log_set_destination(log_path);
        log_set_level_mask(16);
    }
    void TearDown() override
    {
        log_close();
        log_set_level_mask(1);
    }
    std::string file(const std::string &name, const std::string &text)
    {
        tvx_test::write_file(dir / name, text);
        return dir / name;
    }
};

TEST_F(LineFiles, SkipsBlankAndCommentLinesKeepsEntriesAsWritten)
{
    std::string path = file("urls", "\n   \n\t# indented comment\n;semi\nfirst  \n  # x\n\tsecond\nlast");
    EXPECT_EQ(load_file<std::string>(path),
              (std::vector<std::string>{"first  ", "\tsecond", "last"}));

    std::string log = tvx_test::read_file(log_path);
    EXPECT_NE(log.find("Loading data from file: " + path + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("load_file: string: \"first  \"\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("indented comment"), std::string::npos) << log;
}

TEST_F(LineFiles, OnlyCommentsGiveAnEmptyList)
{
    EXPECT_TRUE(load_file<std::string>(file("c", "# a\n; b\n\n")).empty());
    EXPECT_TRUE(load_file<cidr_ptr>(file("e", "")).empty());
}

TEST_F(LineFiles, CrLfLinesKeepTheCarriageReturn)
{
    std::string path = file("crlf", "one\r\ntwo\r\n");
    EXPECT_EQ(load_file<std::string>(path), (std::vector<std::string>{"one\r", "two\r"}));
    EXPECT_EQ(error_of([&] { load_file<cidr_ptr>(file("nets", "10.0.0.0/8\r\n")); }),
              "bad lexical cast: source type value could not be interpreted as target");
    EXPECT_EQ(error_of([&] { load_file<cidr_ptr>(file("hosts", "10.0.0.1\r\n")); }),
              "Error converting address");
}

TEST_F(LineFiles, ConvertsEntriesByType)
{
    auto nets = load_file<cidr_ptr>(file("nets", "10.0.0.0/8\n192.168.1.1\n"));
    ASSERT_EQ(nets.size(), 2u);
    EXPECT_EQ(nets[0]->to_string(), "10.0.0.0/255.0.0.0");
    EXPECT_EQ(nets[1]->to_string(), "192.168.1.1/255.255.255.255");

    auto res = load_file<compiled_re>(file("re", "^http://a\\.\nEXAMPLE\n"));
    ASSERT_EQ(res.size(), 2u);
    EXPECT_EQ(res[0].pattern(), "^http://a\\.");
    EXPECT_TRUE(res[1].match("http://www.example.com/"));
}

TEST_F(LineFiles, ErrorsEndTheLoad)
{
    EXPECT_EQ(error_of([&] { load_file<compiled_re>(file("re", "^ok$\n(\n")); }),
              "Invalid regex: \"(\"");
    EXPECT_EQ(error_of([&] { load_file<cidr_ptr>(file("n", "10.0.0.0/33\n")); }), "Invalid mask");
    EXPECT_EQ(error_of([] { load_file<std::string>("no/such/list.txt"); }),
              "Error opening file: no/such/list.txt");
    // A directory opens but cannot be read as a list.
    EXPECT_EQ(error_of([&] { load_file<std::string>(dir.path()); }),
              "Error opening file: " + dir.path());
    // A read error (this file fails with EIO at offset 0) is not a short list.
    EXPECT_EQ(error_of([] { load_file<std::string>("/proc/self/mem"); }),
              "Error reading file: /proc/self/mem");
}
