// The parameter registry (case-insensitive tables, conversion, global and
// override setters, callbacks) and the effective value of overridable
// parameters across match blocks, evaluated against filled requests.
#include <gtest/gtest.h>

#include <sstream>

#include "cf_test_util.h"
#include "conf_parser/cf_override.h"
#include "conf_parser/cf_parser.h"

using cf_test::error_of;
using cf_test::probe;
using cf_test::make_request;
using namespace expr;

namespace {

expression_ptr url_is(const std::string &u)
{
    return expression_ptr(new op_ieq(value_owner<string_type_traits>(new value_var<string_type_traits>("request_url")),
                                     value_owner<string_type_traits>(new value_const<string_type_traits>(u))));
}

// A small configuration object: a few keys of each type, match blocks and
// functions, registered the way the daemon's configuration does it.
struct mini_config {
    std::string Templates = "/t";
    bool BlockChats = false, BlockAll = false;
    digital_t Timeout = 60;
    unsigned long MaxBlocksize = 10485760;
    std::vector<std::string> BlackHosts;
    std::vector<std::string> Overridable;
    std::vector<match_block> mb;
    cf_functions functions;

    void register_all(cf_parser &p)
    {
        p.register_param<std::string>("Templates", [this](const std::string &v) { Templates = v; });
        p.register_param<bool>("BlockChats", [this](const bool &v) { BlockChats = v; }, 6,
                               [this](const bool &v) { cf_add_override(mb, 6, v); });
        p.register_param<bool>("BlockAll", [this](const bool &v) { BlockAll = v; }, 11,
                               [this](const bool &v) { cf_add_override(mb, 11, v); });
        p.register_param<digital_t>("Timeout", [this](const digital_t &v) { Timeout = v; });
        p.register_param<unsigned long>("MaxBlocksize", [this](const unsigned long &v) { MaxBlocksize = v; });
        auto append = [](std::vector<std::string> &to) {
            return [&to](const std::vector<std::string> &v) { to.insert(to.end(), v.begin(), v.end()); };
        };
        p.register_param<cf_parser::string_list>("BlackHosts", append(BlackHosts));
        p.register_param<cf_parser::string_list>("Overridable", append(Overridable), 0,
                                                 [this](const std::vector<std::string> &v) { cf_add_override(mb, 0, v); });
        p.add_expr = [this](const expression_ptr &e) { cf_add_match_block(mb, e); };
        p.add_func = [this](const std::string &n, const expression_ptr &e) { functions.add(n, e); };
        p.get_func = [this](const std::string &n) { return functions.get(n); };
    }
    const bool &block_chats(const expr_context &ctx) const { return cf_effective_value(mb, 6, BlockChats, ctx); }
};

class Registry : public ::testing::Test {
protected:
    mini_config cfg;
    cf_parser p;
    void SetUp() override { cfg.register_all(p); }
};

}  // namespace

TEST_F(Registry, NamesInAnyCaseAndEachTypeConverts)
{
    EXPECT_TRUE(p.parse("TIMEOUT", "5", true));
    EXPECT_TRUE(p.parse("templates", "/x", true));
    EXPECT_TRUE(p.parse("blockCHATS", "YES", true));
    EXPECT_TRUE(p.parse("maxblocksize", "64", true));
    EXPECT_TRUE(p.parse("BlackHosts", "list.txt", true));
    EXPECT_EQ(cfg.Timeout, 5);
    EXPECT_EQ(cfg.Templates, "/x");
    EXPECT_TRUE(cfg.BlockChats);
    EXPECT_EQ(cfg.MaxBlocksize, 65536u);
    EXPECT_EQ(cfg.BlackHosts, std::vector<std::string>{"list.txt"});

    EXPECT_FALSE(p.parse("Timeouts", "5", true));
    EXPECT_FALSE(p.parse("Timeou", "5", true));
    EXPECT_FALSE(p.parse_list("Timeout", "5", true));  // lists only reach list keys
    ASSERT_NE(p.find<digital_t>("timeOUT"), nullptr);
    EXPECT_EQ(p.find<digital_t>("timeOUT")->name, "Timeout");
    EXPECT_EQ(p.find<bool>("Timeout"), nullptr);
}

TEST_F(Registry, Errors)
{
    struct { std::string name, value; bool global; std::string msg; } cases[] = {
        {"Timeout", "5x", true, "Error parsing digital_t"},
        {"Timeout", "5", false, "Param Timeout is global only"},
        {"timeout", "5x", false, "Error parsing digital_t"},  // conversion comes first
        {"BlockChats", "on", false, "Error parsing bool"},
        {"MaxBlocksize", "10B", true, "Error parsing size"},
        {"Templates", "", false, "Param Templates is global only"},
        {"BlackHosts", "x", false, "Param BlackHosts is global only"},
    };
    for (auto &c : cases)
        EXPECT_EQ(error_of([&] { p.parse(c.name, c.value, c.global); }), c.msg) << c.name << "=" << c.value;
    EXPECT_EQ(cfg.Timeout, 60);

    EXPECT_EQ(error_of([&] { p.register_param<digital_t>("TIMEOUT", [](const int &) {}); }),
              "Param already registered: TIMEOUT");
    // Another type's table may hold the same name; the string table is asked first.
    std::string seen;
    p.register_param<unsigned long>("Templates", [&](const unsigned long &) { seen = "size"; });
    p.parse("Templates", "12", true);
    EXPECT_EQ(cfg.Templates, "12");
    EXPECT_EQ(seen, "");

    auto nop = [](const bool &) {};
    EXPECT_THROW(p.register_param<bool>("A", nop, 3), std::logic_error);
    EXPECT_THROW(p.register_param<bool>("B", nop, id::global_only, nop), std::logic_error);
    EXPECT_THROW(p.register_param<bool>("C", nullptr), std::logic_error);
    EXPECT_EQ(p.find<bool>("A"), nullptr);
}

TEST_F(Registry, ListsAppendGloballyAndOverridesReplace)
{
    p.parse("BlackHosts", "a", true);
    p.parse("BlackHosts", "", true);  // an empty assignment appends nothing
    p.parse_list("blackhosts", "b", true);
    p.parse_list("BLACKHOSTS", "c", true);
    EXPECT_EQ(cfg.BlackHosts, (std::vector<std::string>{"a", "b", "c"}));

    p.run_callback_add_expr(url_is("http://x/"));
    p.parse("Overridable", "one", false);
    p.parse("Overridable", "two", false);
    p.parse("BlockChats", "yes", false);
    p.parse("BlockChats", "no", false);
    ASSERT_EQ(cfg.mb.size(), 1u);
    const auto &o = cfg.mb[0].overrides;
    ASSERT_NE(o.for_type<cf_parser::string_list>().get(0), nullptr);
    EXPECT_EQ(*o.for_type<cf_parser::string_list>().get(0), std::vector<std::string>{"two"});
    EXPECT_EQ(*o.for_type<bool>().get(6), false);
    EXPECT_EQ(o.for_type<bool>().get(0), nullptr);  // storages are separate per type
    EXPECT_TRUE(cfg.Overridable.empty());
}

TEST_F(Registry, OverrideWithoutBlockIsRefused)
{
    EXPECT_THROW(p.parse("BlockChats", "yes", false), std::logic_error);
}

TEST_F(Registry, Callbacks)
{
    cf_parser empty;
    auto e = url_is("u");
    EXPECT_EQ(error_of([&] { empty.run_callback_add_expr(e); }),
              "run_callback_add_expr: expression callback not registered");
    EXPECT_EQ(error_of([&] { empty.run_callback_add_func("f", e); }),
              "run_callback_add_func: add function callback not registered");
    EXPECT_EQ(error_of([&] { empty.run_callback_get_func("f"); }),
              "run_callback_get_func: get function callback not registered");
    EXPECT_EQ(error_of([&] { empty.run_callback_add_mime_block("x"); }),
              "run_callback_add_mime_block: mime block callback not registered");

    p.run_callback_add_func("f", e);
    EXPECT_EQ(p.run_callback_get_func("f"), e);
    EXPECT_EQ(error_of([&] { p.run_callback_get_func("g"); }), "Function g not found");
    std::string mime;
    p.add_mime_block = [&](const std::string &t) { mime = t; };
    p.run_callback_add_mime_block("text/* pass\nMimeEnd");
    EXPECT_EQ(mime, "text/* pass\nMimeEnd");
}

TEST_F(Registry, MatchSectionTurnsASwitchOnForMatchingRequests)
{
    p.run_callback_add_expr(url_is("http://chat.example/"));
    p.parse("BlockChats", "yes", false);
    EXPECT_FALSE(cfg.BlockChats);
    EXPECT_TRUE(cfg.block_chats(expr_context(*make_request("HTTP://CHAT.example/"))));
    EXPECT_FALSE(cfg.block_chats(expr_context(*make_request("http://other/"))));

    std::ostringstream os;
    cf_dump_match_blocks(os, cfg.mb);
    EXPECT_EQ(os.str(), "\nMATCH_EXPRESSION:\nop_ieq_string (\n|   value_var_string(request_url)\n"
                        "|   value_const_string(\"http://chat.example/\")\n)\n");
}

TEST(EffectiveValue, FirstTrueBlockAssigningTheParameterWins)
{
    // Blocks, in file order: what each evaluates to and the value it assigns
    // to parameter 6 (-1: assigns only parameter 11).
    struct block { bool truth; int value; };
    struct { std::vector<block> blocks; int want; std::vector<int> evaluations; } cases[] = {
        {{}, 7, {}},                                            // no [match]: global
        {{{true, 1}, {true, 2}}, 1, {1, 0}},                    // earlier block wins
        {{{true, -1}, {true, 2}}, 2, {0, 1}},                   // true block without it passed over
        {{{false, 1}, {true, 2}}, 2, {1, 1}},                   // false block ignored
        {{{false, 1}, {false, 2}}, 7, {1, 1}},
        {{{false, 1}, {true, -1}, {true, 3}, {true, 4}}, 3, {1, 0, 1, 0}},
    };
    auto rq = make_request("u");
    for (auto &c : cases) {
        std::vector<match_block> mb;
        std::vector<int> counts(c.blocks.size());
        for (size_t i = 0; i < c.blocks.size(); i++) {
            cf_add_match_block(mb, expression_ptr(new probe(c.blocks[i].truth, &counts[i])));
            if (c.blocks[i].value < 0)
                cf_add_override<digital_t>(mb, 11, 99);
            else
                cf_add_override<digital_t>(mb, 6, c.blocks[i].value);
        }
        int global = 7;
        EXPECT_EQ(cf_effective_value(mb, 6, global, expr_context(*rq)), c.want);
        EXPECT_EQ(counts, c.evaluations);
        // Nothing is cached: a second lookup evaluates again.
        cf_effective_value(mb, 6, global, expr_context(*rq));
        for (size_t i = 0; i < counts.size(); i++)
            EXPECT_EQ(counts[i], 2 * c.evaluations[i]);
    }
}

TEST(EffectiveValue, ReturnsAReferenceToTheStoredValue)
{
    std::vector<match_block> mb;
    cf_add_match_block(mb, url_is("http://a/"));
    cf_add_override<std::string>(mb, 0, "block");
    std::string global = "global";
    auto a = make_request("http://a/"), b = make_request("http://b/");
    EXPECT_EQ(&cf_effective_value(mb, 0, global, expr_context(*b)), &global);
    EXPECT_EQ(cf_effective_value(mb, 0, global, expr_context(*a)), "block");
    EXPECT_THROW(cf_add_match_block(mb, nullptr), std::logic_error);
}
