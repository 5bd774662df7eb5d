// Expression trees evaluated against filled requests, their printed
// outline, the request variables, times of day and the function table.
#include <gtest/gtest.h>

#include <sstream>

#include "cf_test_util.h"
#include "conf_parser/expr.h"
#include "log/log.h"
#include "support/support.h"

using namespace expr;
using cf_test::error_of;
using cf_test::probe;
using cf_test::make_request;

namespace {

// Builders for short trees.
value_owner<string_type_traits> url() { return value_owner<string_type_traits>(new value_var<string_type_traits>("request_url")); }
value_owner<string_type_traits> str(const std::string &s) { return value_owner<string_type_traits>(new value_const<string_type_traits>(s)); }
value_owner<cidr_type_traits> ip() { return value_owner<cidr_type_traits>(new value_var<cidr_type_traits>("request_ip")); }
value_owner<cidr_type_traits> net(const std::string &s) { return value_owner<cidr_type_traits>(new value_const<cidr_type_traits>(make_cidr(s))); }
value_owner<time_type_traits> now() { return value_owner<time_type_traits>(new value_var<time_type_traits>("system_time")); }
value_owner<time_type_traits> at(const std::string &s) { return value_owner<time_type_traits>(new value_const<time_type_traits>(cf_parse_time(s))); }
value_owner<regex_type_traits> re(const std::string &s) { return value_owner<regex_type_traits>(new value_const<regex_type_traits>(compiled_re(s))); }

bool eval(const expression &e, const icap_request &rq) { return e.evaluate(expr_context(rq)); }

}  // namespace

TEST(ExprPrint, OutlineOfASmallTree)
{
    bool_and tree(expression_owner(new op_ieq(url(), str("http://Example.com/"))),
                  expression_owner(new bool_not(expression_owner(new op_belongs(ip(), net("10.0.0.0/8"))))));
    EXPECT_STREQ(tree.name(), "and");
    EXPECT_EQ(print_to_string(tree),
              "and (\n"
              "|   op_ieq_string (\n"
              "|   |   value_var_string(request_url)\n"
              "|   |   value_const_string(\"http://Example.com/\")\n"
              "|   )\n"
              "|   not (\n"
              "|   |   op_belongs_cidr (\n"
              "|   |   |   value_var_cidr(request_ip)\n"
              "|   |   |   value_const_cidr(\"10.0.0.0/255.0.0.0\")\n"
              "|   |   )\n"
              "|   )\n"
              ")\n");
}

TEST(ExprPrint, LeavesListsAndReferences)
{
    tvx_test::temp_dir dir;
    tvx_test::write_file(dir / "l", "a\n");
    auto fn = std::make_shared<op_ge<time_type_traits>>(now(), at("7:05"));
    bool_or tree(expression_owner(new op_list_ieq(url(), dir / "l")),
                 expression_owner(new bool_ref(fn, "night")));
    EXPECT_EQ(print_to_string(tree),
              "or (\n"
              "|   op_list_ieq (\n"
              "|   |   value_var_string(request_url)\n"
              "|   |   list(\"" + dir / "l" + "\")\n"
              "|   )\n"
              "|   night()\n"
              ")\n");
    EXPECT_EQ(print_to_string(*fn),
              "op_ge_time (\n|   value_var_time(system_time)\n|   value_const_time(\"07:05\")\n)\n");

    std::ostringstream os;
    value_const<cidr_type_traits>(nullptr).print(os, 1);
    value_const<regex_type_traits>(compiled_re("^a.b")).print(os, 0);
    value_var<string_type_traits>("Request_URL").print(os, 0);
    EXPECT_EQ(os.str(), "|   value_const_cidr(\"EMPTY\")\nvalue_const_regex(\"^a.b\")\nvalue_var_string(Request_URL)\n");
}

TEST(ExprPrint, NamesOfComparisons)
{
    struct { std::unique_ptr<expression> e; const char *name; } cases[] = {
        {std::unique_ptr<expression>(new op_lt<time_type_traits>(now(), at("1:00"))), "op_lt_time"},
        {std::unique_ptr<expression>(new op_gt<time_type_traits>(now(), at("1:00"))), "op_gt_time"},
        {std::unique_ptr<expression>(new op_le<time_type_traits>(now(), at("1:00"))), "op_le_time"},
        {std::unique_ptr<expression>(new op_ineq(url(), str("x"))), "op_ineq_string"},
        {std::unique_ptr<expression>(new op_regex(url(), re("x"))), "string_op_regex"},
    };
    for (auto &c : cases)
        EXPECT_STREQ(c.e->name(), c.name);
}

TEST(ExprEval, ShortCircuit)
{
    struct { bool is_or, left, right_should_run, want; } cases[] = {
        {true, true, false, true}, {true, false, true, true},
        {false, false, false, false}, {false, true, true, true},
    };
    auto rq = make_request("http://a/");
    for (auto &c : cases) {
        int left_n = 0, right_n = 0;
        expression_owner l(new probe(c.left, &left_n)), r(new probe(true, &right_n));
        std::unique_ptr<expression> e;
        if (c.is_or)
            e.reset(new bool_or(std::move(l), std::move(r)));
        else
            e.reset(new bool_and(std::move(l), std::move(r)));
        EXPECT_EQ(eval(*e, *rq), c.want);
        EXPECT_EQ(left_n, 1);
        EXPECT_EQ(right_n, c.right_should_run ? 1 : 0) << c.is_or << c.left;
    }
}

TEST(ExprEval, NightWindowWithoutWrapAround)
{
    bool_or night(expression_owner(new op_ge<time_type_traits>(now(), at("22:00"))),
                  expression_owner(new op_lt<time_type_traits>(now(), at("06:00"))));
    struct { int h, m; bool want; } cases[] = {
        {23, 30, true}, {22, 0, true}, {5, 59, true}, {0, 0, true}, {6, 0, false}, {12, 0, false}, {21, 59, false},
    };
    for (auto &c : cases)
        EXPECT_EQ(eval(night, *make_request("u", "", "", c.h, c.m)), c.want) << c.h << ":" << c.m;

    op_le<time_type_traits> le(now(), at("9:30"));
    op_gt<time_type_traits> gt(now(), at("09:30"));
    EXPECT_TRUE(eval(le, *make_request("u", "", "", 9, 30)));
    EXPECT_FALSE(eval(gt, *make_request("u", "", "", 9, 30)));
    EXPECT_TRUE(eval(gt, *make_request("u", "", "", 10, 0)));
}

TEST(ExprEval, StringsAndRegexes)
{
    auto rq = make_request("http://www.example.com/a", "", "Alice");
    EXPECT_TRUE(eval(op_ieq(url(), str("HTTP://WWW.EXAMPLE.COM/A")), *rq));
    EXPECT_FALSE(eval(op_ieq(url(), str("http://www.example.com/")), *rq));
    EXPECT_TRUE(eval(op_ineq(url(), str("http://www.example.com/")), *rq));
    EXPECT_FALSE(eval(op_ineq(url(), str("http://WWW.example.com/a")), *rq));
    value_owner<string_type_traits> user(new value_var<string_type_traits>("request_username"));
    EXPECT_TRUE(eval(op_ieq(std::move(user), str("alice")), *rq));
    EXPECT_TRUE(eval(op_regex(url(), re("EXAMPLE")), *rq));
    EXPECT_FALSE(eval(op_regex(url(), re("^www")), *rq));
    // Variable on both sides.
    EXPECT_TRUE(eval(op_ieq(url(), url()), *rq));
}

TEST(ExprEval, LineFileLists)
{
    tvx_test::temp_dir dir;
    tvx_test::write_file(dir / "urls", "# blocked\nhttp://a/\nHTTP://B/\nhttp://c/\n");
    tvx_test::write_file(dir / "res", "^ftp:\n\\.exe$\n");
    tvx_test::write_file(dir / "nets", "192.168.0.0/16\n10.1.2.3\n");
    tvx_test::write_file(dir / "empty", "; nothing\n");
    op_list_ieq urls(url(), dir / "urls");
    op_list_regex res(url(), dir / "res");
    op_list_belongs nets(ip(), dir / "nets");
    op_list_ieq empty(url(), dir / "empty");
    EXPECT_EQ(urls.size(), 3u);

    struct { const char *url, *ip; bool in_urls, in_res, in_nets; } cases[] = {
        {"http://b/", "10.1.2.3", true, false, true},
        {"http://d/", "192.168.7.7", false, false, true},
        {"FTP://x/y.zip", "10.1.2.4", false, true, false},
        {"http://x/SETUP.EXE", "", false, true, false},
        {"http://x/", "1.2.3.4/x", false, false, false},
    };
    for (auto &c : cases) {
        auto rq = make_request(c.url, c.ip);
        EXPECT_EQ(eval(urls, *rq), c.in_urls) << c.url;
        EXPECT_EQ(eval(res, *rq), c.in_res) << c.url;
        EXPECT_EQ(eval(nets, *rq), c.in_nets) << c.ip;
        EXPECT_FALSE(eval(empty, *rq));
    }
    EXPECT_EQ(error_of([&] { op_list_ieq(url(), dir / "missing"); }),
              "Error opening file: " + dir / "missing");
}

class RequestIp : public ::testing::Test {
protected:
    tvx_test::temp_dir dir;
    void SetUp() override
    {
        log_set_destination(dir / "log");
        log_set_level_mask(2);
    }
    void TearDown() override
    {
        log_close();
        log_set_level_mask(1);
    }
    std::string log() { return tvx_test::read_file(dir / "log"); }
};

TEST_F(RequestIp, AddressesFromTheClient)
{
    op_belongs in_net(ip(), net("10.1.0.0/16"));
    op_belongs undefined(ip(), net(""));
    op_belongs in_all(ip(), net("0.0.0.0/0"));
    struct { const char *ip; bool in_net, undefined, in_all, warns; } cases[] = {
        {"", false, true, false, false},
        {"10.1.2.3", true, false, true, false},
        {"10.2.2.3", false, false, true, false},
        {"10.1.2.300", false, true, false, true},
        {"client.example.com", false, true, false, true},
        {"10.1.2.3/", false, true, false, true},
        {"10.1.2.3/abc", false, true, false, true},
        {"10.1.2.3/99", false, true, false, true},
    };
    for (auto &c : cases) {
        auto rq = make_request("u", c.ip);
        log_close();
        log_set_destination(dir / "log");
        tvx_test::write_file(dir / "log", "");
        EXPECT_EQ(eval(in_net, *rq), c.in_net) << c.ip;
        EXPECT_EQ(eval(undefined, *rq), c.undefined) << c.ip;
        EXPECT_EQ(eval(in_all, *rq), c.in_all) << c.ip;
        std::string warning = std::string("Expanding request_ip variable: error parsing cidr from \"") +
                              c.ip + "\", using \"undefined\" value\n";
        EXPECT_EQ(log().find(warning) != std::string::npos, c.warns) << c.ip << "\n" << log();
    }
    auto rq = make_request("u", "10.1.2.3");
    cidr_ptr one = expr_context(*rq).expand_cidr("request_ip");
    EXPECT_EQ(one->to_string(), "10.1.2.3/255.255.255.255");
}

TEST(ExprVariables, NamesAreFoldedAndCheckedWhenBuilt)
{
    auto rq = make_request("http://x/", "10.0.0.1", "bob", 8, 15);
    EXPECT_EQ(value_var<string_type_traits>("REQUEST_URL").get(expr_context(*rq)), "http://x/");
    EXPECT_EQ(value_var<string_type_traits>("Request_UserName").get(expr_context(*rq)), "bob");
    EXPECT_TRUE(value_var<cidr_type_traits>("REQUEST_IP").get(expr_context(*rq)));
    cf_time t = value_var<time_type_traits>("System_Time").get(expr_context(*rq));
    EXPECT_EQ(t.hour, 8);
    EXPECT_EQ(t.minute, 15);

    EXPECT_EQ(error_of([] { value_var<string_type_traits>("request_ip"); }), "Unknown variable: request_ip");
    EXPECT_EQ(error_of([] { value_var<time_type_traits>("Request_Url"); }), "Unknown variable: Request_Url");
    EXPECT_THROW(value_var<cidr_type_traits>("system_time"), expr_context::var_not_found);

    // Expansion itself knows only the lower-case spellings.
    expr_context ctx(*rq);
    EXPECT_THROW(ctx.expand_string("REQUEST_URL"), expr_context::var_not_found);
    EXPECT_EQ(error_of([&] { ctx.expand_time("time"); }), "Unknown variable: time");
    rq->request_time = -1;
    EXPECT_THROW(ctx.expand_time("system_time"), std::logic_error);
}

TEST(ExprTime, Parser)
{
    struct { const char *text; int h, m; } ok[] = {
        {"7:05", 7, 5}, {"07:05", 7, 5}, {"23:59", 23, 59}, {"0:00", 0, 0}, {"9:30", 9, 30},
    };
    for (auto &c : ok) {
        cf_time t = cf_parse_time(c.text);
        EXPECT_EQ(t.hour, c.h) << c.text;
        EXPECT_EQ(t.minute, c.m) << c.text;
    }
    const std::string cast = "bad lexical cast: source type value could not be interpreted as target";
    struct { const char *text; std::string reason; } bad[] = {
        {"12.30", "no colon"}, {"", "no colon"}, {"123:00", "invalid hour"}, {":30", "invalid hour"},
        {"7:5", "invalid minutes"}, {"7:050", "invalid minutes"}, {"24:00", "values out of range"},
        {"12:60", "values out of range"}, {"a:00", cast}, {"1:x0", cast}, {"-1:00", cast},
        {" 1:00", cast}, {"1:+5", cast},
    };
    for (auto &c : bad)
        EXPECT_EQ(error_of([&] { cf_parse_time(c.text); }),
                  std::string("Error parsing time from string \"") + c.text + "\": " + c.reason)
            << c.text;
}

TEST(ExprFunctions, TableAndReferences)
{
    cf_functions table;
    int n = 0;
    table.add("always", expression_ptr(new probe(true, &n)));
    table.add("Always", expression_ptr(new op_ieq(url(), str("http://x/"))));
    EXPECT_EQ(error_of([&] { table.add("always", expression_ptr(new probe(false, &n))); }),
              "Function always already exists");
    EXPECT_EQ(error_of([&] { table.get("ALWAYS"); }), "Function ALWAYS not found");
    EXPECT_THROW(table.add("null", nullptr), std::logic_error);
    EXPECT_EQ(table.size(), 2u);

    bool_ref call(table.get("Always"), "Always");
    auto rq = make_request("http://X/");
    EXPECT_TRUE(eval(call, *rq));
    EXPECT_FALSE(eval(call, *make_request("http://y/")));

    std::ostringstream os;
    table.dump(os);
    EXPECT_EQ(os.str(),
              "\nFUNCTION: always\nprobe\n"
              "\nFUNCTION: Always\nop_ieq_string (\n|   value_var_string(request_url)\n"
              "|   value_const_string(\"http://x/\")\n)\n");

    // The call does not keep the function alive.
    table.clear();
    EXPECT_THROW(eval(call, *rq), std::logic_error);
}
