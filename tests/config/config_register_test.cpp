// Registration of the parameter table with a real registry: every key, its
// type and scope, the defaults of an empty load, lookup in any case, the
// category switches overridden by match blocks, callbacks and the reset.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "conf_parser/cf_parser.h"
#include "config/icapd_config.h"
#include "log/log.h"
#include "request/request.h"

namespace {

template <class F>
std::string error_of(F f)
{
    try {
        f();
    } catch (const std::exception &e) {
        return e.what();
    }
    return "";
}

// url ieq text, the expression of one match block.
expr::expression_ptr url_is(const std::string &text)
{
    using namespace expr;
    return std::make_shared<op_ieq>(
        value_owner<string_type_traits>(new value_var<string_type_traits>("request_url")),
        value_owner<string_type_traits>(new value_const<string_type_traits>(text)));
}

std::unique_ptr<icap_request> request_for(const std::string &url)
{
    std::unique_ptr<icap_request> rq(new icap_request());
    icap_request_reset(*rq);
    snprintf(rq->url, sizeof rq->url, "%s", url.c_str());
    return rq;
}

// The type and override identifier of every key, in table order.
TEST(ConfigRegister, EveryKeyWithItsTypeAndScope)
{
    enum kind { STR, BOOL, INT, LIST, SIZE };
    struct {
        const char *key;
        kind type;
        int rid;
    } keys[] = {
        {"LogFile", STR, -1}, {"SyslogFacility", STR, -1}, {"SyslogPriority", STR, -1},
        {"LogLevel", INT, -1}, {"MaxLogSize", SIZE, -1}, {"Hostmaster", STR, -1},
        {"Infected", STR, -1}, {"Incurable", STR, -1}, {"Suspicious", STR, -1},
        {"Adware", STR, -1}, {"Dialers", STR, -1}, {"Jokes", STR, -1},
        {"Riskware", STR, -1}, {"Hacktools", STR, -1}, {"ArchiveRestriction", STR, -1},
        {"DaemonError", STR, -1}, {"SkipObject", STR, -1}, {"Heuristic", BOOL, -1},
        {"LocalScan", BOOL, -1}, {"User", STR, -1}, {"Cache", STR, -1},
        {"UcfDirectory", STR, -1}, {"BlockPorno", BOOL, 0}, {"BlockViolence", BOOL, 1},
        {"BlockWeapon", BOOL, 2}, {"BlockGamble", BOOL, 3}, {"BlockDrugs", BOOL, 4},
        {"BlockObscenity", BOOL, 5}, {"BlockChats", BOOL, 6}, {"BlockTerrorism", BOOL, 7},
        {"BlockEmail", BOOL, 8}, {"BlockSocialNetwork", BOOL, 9}, {"BlockMalwareLinks", BOOL, 10},
        {"BlockAll", BOOL, 11}, {"WhiteUcfFiles", LIST, -1}, {"SendUrlsWithViruses", BOOL, -1},
        {"Templates", STR, -1}, {"PidFile", STR, -1}, {"BlackHosts", LIST, -1},
        {"WhiteHosts", LIST, -1}, {"MaxBlocksize", SIZE, -1}, {"BindPort", STR, -1},
        {"BindAddress", STR, -1}, {"TavexAddress", LIST, -1}, {"PathToQuarantine", STR, -1},
        {"QuarantineFilesMode", INT, -1}, {"Timeout", INT, -1}, {"SendMail", BOOL, -1},
        {"MailCommand", STR, -1}, {"MailCache", INT, -1}, {"AclList", LIST, -1},
        {"SendStat", BOOL, -1}, {"KeepAlive", BOOL, -1}, {"UsePreview", BOOL, -1},
        {"SendMailUcfBlock", BOOL, -1},
    };
    ASSERT_EQ(sizeof keys / sizeof keys[0], 55u);
    icapd_config cfg;
    cf_parser p;
    cfg.register_params(p);
    for (auto &k : keys) {
        int found = 0, rid = -2;
        if (auto e = p.find<std::string>(k.key)) found += k.type == STR, rid = e->rid;
        if (auto e = p.find<bool>(k.key)) found += k.type == BOOL, rid = e->rid;
        if (auto e = p.find<digital_t>(k.key)) found += k.type == INT, rid = e->rid;
        if (auto e = p.find<cf_parser::string_list>(k.key)) found += k.type == LIST, rid = e->rid;
        if (auto e = p.find<unsigned long>(k.key)) found += k.type == SIZE, rid = e->rid;
        EXPECT_EQ(found, 1) << k.key;
        EXPECT_EQ(rid, k.rid) << k.key;
    }
    // A second registration with the same registry stops at the first key.
    EXPECT_EQ(error_of([&] { cfg.register_params(p); }), "Param already registered: LogFile");
}

TEST(ConfigRegister, EmptyLoadYieldsEveryDefault)
{
    icapd_config cfg;
    {
        cf_parser p;
        cfg.register_params(p);
        ASSERT_TRUE(p.parse("Infected", "move", true));
        ASSERT_TRUE(p.parse("Heuristic", "no", true));
        ASSERT_TRUE(p.parse("BlockChats", "yes", true));
        ASSERT_TRUE(p.parse("Timeout", "5", true));
        ASSERT_TRUE(p.parse_list("BlackHosts", "/etc/b", true));
        ASSERT_TRUE(p.parse("LogLevel", "35", true));
    }
    cf_parser p;
    cfg.register_params(p);
    const icapd_config fresh;
    EXPECT_EQ(cfg.scan_options, 0x8040004Au);
    EXPECT_EQ(cfg.Infected, ACTION_PASS);
    EXPECT_TRUE(cfg.Heuristic);
    EXPECT_FALSE(cfg.BlockChats);
    EXPECT_EQ(cfg.Timeout, 60);
    EXPECT_TRUE(cfg.BlackHosts.empty());
    EXPECT_EQ(cfg.LogLevel, 1);
    EXPECT_EQ(log_level_mask(), 1u);
    EXPECT_EQ(cfg.User, "tavex");
    EXPECT_FALSE(cfg.user_from_file);
    EXPECT_EQ(cfg.Cache, fresh.Cache);
    EXPECT_EQ(cfg.MaxBlocksize, 10485760u);
}

TEST(ConfigRegister, AssignmentsThroughTheRegistry)
{
    icapd_config cfg;
    cf_parser p;
    cfg.register_params(p);
    struct {
        const char *key;
        const char *value;
        bool global;
        const char *error;
    } cases[] = {
        {"tImEoUt", "5", true, ""},
        {"Timeout", "5", false, "Param Timeout is global only"},
        {"Timeout", "5x", false, "Error parsing digital_t"},
        {"maxblocksize", "64", true, ""},
        {"MaxBlocksize", "inf", true, "Error in MaxBlocksize setting: it must be > 0."},
        {"JOKES", "cure", true, "Invalid action"},
        {"cache", "/tmp", true, ""},
        {"BlockChats", "maybe", true, "Error parsing bool"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(error_of([&] { EXPECT_TRUE(p.parse(c.key, c.value, c.global)); }), c.error)
            << c.key << " = " << c.value;
    }
    EXPECT_EQ(cfg.Timeout, 5);
    EXPECT_EQ(cfg.MaxBlocksize, 65536u);
    EXPECT_EQ(cfg.Cache, "/tmp/");
    EXPECT_FALSE(p.parse("NoSuchKey", "1", true));

    ASSERT_TRUE(p.parse_list("TavexAddress", "inet:3000@127.0.0.1", true));
    ASSERT_TRUE(p.parse_list("whitehosts", "", true));
    EXPECT_TRUE(cfg.WhiteHosts.empty());
    ASSERT_EQ(cfg.tavex_addresses.size(), 1u);
    EXPECT_EQ(cfg.tavex_addresses[0].serv, "3000");
}

TEST(ConfigRegister, CategorySwitchesFollowMatchBlocks)
{
    icapd_config cfg;
    cf_parser p;
    cfg.register_params(p);
    cfg.bind_callbacks(p);
    auto rq_a = request_for("http://a/");
    auto rq_b = request_for("http://b/");
    expr_context a(*rq_a), b(*rq_b);

    // Without match blocks every getter gives the global value.
    EXPECT_TRUE(cfg.block_porno(a));
    EXPECT_FALSE(cfg.block_chats(a));

    ASSERT_TRUE(p.parse("BlockAll", "yes", true));
    p.run_callback_add_expr(url_is("http://a/"));
    ASSERT_TRUE(p.parse("BlockChats", "yes", false));
    ASSERT_TRUE(p.parse("BlockChats", "no", false));
    ASSERT_TRUE(p.parse("blockchats", "YES", false));  // last assignment in a block wins
    ASSERT_TRUE(p.parse("BlockPorno", "no", false));
    p.run_callback_add_expr(url_is("http://b/"));
    ASSERT_TRUE(p.parse("BlockPorno", "no", false));
    p.run_callback_add_expr(url_is("HTTP://A/"));
    ASSERT_TRUE(p.parse("BlockChats", "no", false));
    ASSERT_TRUE(p.parse("BlockAll", "no", false));
    ASSERT_EQ(cfg.mb.size(), 3u);

    EXPECT_TRUE(cfg.block_chats(a));    // first true block that assigns it
    EXPECT_FALSE(cfg.block_chats(b));   // global value
    EXPECT_FALSE(cfg.block_porno(a));
    EXPECT_FALSE(cfg.block_porno(b));
    EXPECT_FALSE(cfg.block_all(a));     // only the third block assigns it
    EXPECT_TRUE(cfg.block_all(b));
    EXPECT_TRUE(cfg.block_violence(a));  // assigned nowhere
    EXPECT_FALSE(cfg.BlockChats);        // overrides never touch the global value
    EXPECT_EQ(&cfg.block_switch(BLOCK_ALL, b), &cfg.BlockAll);
    EXPECT_THROW(cfg.block_switch(BLOCK_SWITCH_COUNT, a), std::out_of_range);
}

TEST(ConfigRegister, FunctionsAndReset)
{
    icapd_config cfg;
    cf_parser p;
    cfg.register_params(p);
    cfg.bind_callbacks(p);
    auto e = url_is("http://a/");
    p.run_callback_add_func("is_a", e);
    EXPECT_EQ(p.run_callback_get_func("is_a"), e);
    EXPECT_EQ(error_of([&] { p.run_callback_add_func("is_a", e); }), "Function is_a already exists");
    EXPECT_EQ(error_of([&] { p.run_callback_get_func("IS_A"); }), "Function IS_A not found");
    p.run_callback_add_expr(e);
    ASSERT_TRUE(p.parse_list("TavexAddress", "local:/run/t.sock", true));
    cfg.agent_addresses.push_back(DaemonAddress());

    cfg.reset();
    EXPECT_TRUE(cfg.mb.empty());
    EXPECT_TRUE(cfg.functions.empty());
    EXPECT_TRUE(cfg.tavex_addresses.empty());
    EXPECT_TRUE(cfg.agent_addresses.empty());
    EXPECT_EQ(error_of([&] { p.run_callback_get_func("is_a"); }), "Function is_a not found");
}

}  // namespace
