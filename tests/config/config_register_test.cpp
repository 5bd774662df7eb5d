// Registration of the parameter table with a real registry: every key, its
// type and scope, the defaults of a fresh configuration, lookup in any
// case, the category switches overridden by match blocks, and callbacks.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "conf_parser/cf_parser.h"
#include "config/icapd_config.h"
#include "config/param_table.h"
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
        {"SendMailUcfBlock", BOOL, -1}, {"MaxChildren", INT, -1}, {"IdleTimeout", INT, -1},
    };
    size_t rows = 0;
    const param_def *table = config_params(&rows);
    ASSERT_EQ(rows, sizeof keys / sizeof keys[0]);
    icapd_config cfg;
    cf_parser p;
    config_register(p, cfg);
    for (size_t i = 0; i < rows; ++i)
        EXPECT_STREQ(table[i].name, keys[i].key) << "row " << i;
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
    EXPECT_EQ(error_of([&] { config_register(p, cfg); }), "Param already registered: LogFile");
}

// A fresh configuration holds every default of the table, printed as an
// administrator would write it.
TEST(ConfigRegister, FreshConfigurationHoldsEveryDefault)
{
    const char *const want =
        "LogFile = \n"
        "SyslogFacility = User\n"
        "SyslogPriority = Info\n"
        "LogLevel = 1\n"
        "MaxLogSize = 10485760b\n"
        "Hostmaster = root@localhost\n"
        "Infected = cure\n"
        "Incurable = report\n"
        "Suspicious = report\n"
        "Adware = report\n"
        "Dialers = report\n"
        "Jokes = pass\n"
        "Riskware = pass\n"
        "Hacktools = pass\n"
        "ArchiveRestriction = report\n"
        "DaemonError = report\n"
        "SkipObject = pass\n"
        "Heuristic = yes\n"
        "LocalScan = yes\n"
        "User = tavex\n"
        "Cache = /var/tavex/cache/\n"
        "UcfDirectory = /var/tavex/ucf/\n"
        "BlockPorno = yes\n"
        "BlockViolence = yes\n"
        "BlockWeapon = yes\n"
        "BlockGamble = yes\n"
        "BlockDrugs = yes\n"
        "BlockObscenity = yes\n"
        "BlockChats = no\n"
        "BlockTerrorism = yes\n"
        "BlockEmail = no\n"
        "BlockSocialNetwork = no\n"
        "BlockMalwareLinks = yes\n"
        "BlockAll = no\n"
        "WhiteUcfFiles = \n"
        "SendUrlsWithViruses = no\n"
        "Templates = /usr/local/etc/tavex/templates/icapd\n"
        "PidFile = /var/tavex/run/tavex_icapd.pid\n"
        "BlackHosts = \n"
        "WhiteHosts = \n"
        "MaxBlocksize = 10485760b\n"
        "BindPort = 1344\n"
        "BindAddress = 127.0.0.1\n"
        "TavexAddress = \n"
        "PathToQuarantine = /var/tavex/infected\n"
        "QuarantineFilesMode = 432\n"
        "Timeout = 60\n"
        "SendMail = no\n"
        "MailCommand = /usr/sbin/sendmail -i -bm -f tavex -- %s\n"
        "MailCache = 60\n"
        "AclList = \n"
        "SendStat = no\n"
        "KeepAlive = yes\n"
        "UsePreview = yes\n"
        "SendMailUcfBlock = no\n"
        "MaxChildren = 1024\n"
        "IdleTimeout = 600\n";
    const icapd_config cfg;
    std::ostringstream out;
    config_dump(cfg, out);
    EXPECT_EQ(out.str(), want);
    EXPECT_EQ(cfg.scan_options, 0x8040004Au);  // cure and heuristic bits on
    EXPECT_FALSE(cfg.user_resolved);
    EXPECT_EQ(cfg.mime.level1.size(), 1u);

    // Assignments show in the dump as they were stored.
    icapd_config set;
    config_assign(set, "Infected", "move");
    config_assign(set, "SyslogFacility", "local3");
    config_assign(set, "BlockChats", "yes");
    config_assign(set, "BlackHosts", "/a");
    config_assign(set, "BlackHosts", "/b");
    config_assign(set, "MaxBlocksize", "64");
    std::ostringstream changed;
    config_dump(set, changed);
    for (const char *line : {"Infected = move\n", "SyslogFacility = Local3\n", "BlockChats = yes\n",
                             "BlackHosts = /a, /b\n", "MaxBlocksize = 65536b\n"})
        EXPECT_NE(changed.str().find(line), std::string::npos) << line;
}

TEST(ConfigRegister, AssignmentsThroughTheRegistry)
{
    icapd_config cfg;
    cf_parser p;
    config_register(p, cfg);
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
    config_register(p, cfg);
    cfg.bind_callbacks(p);
    auto rq_a = request_for("http://a/");
    auto rq_b = request_for("http://b/");
    expr_context a(*rq_a), b(*rq_b);

    // Without match blocks every getter gives the global value.
    EXPECT_TRUE(cfg.block_switch(BLOCK_PORNO, a));
    EXPECT_FALSE(cfg.block_switch(BLOCK_CHATS, a));

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

    EXPECT_TRUE(cfg.block_switch(BLOCK_CHATS, a));    // first true block that assigns it
    EXPECT_FALSE(cfg.block_switch(BLOCK_CHATS, b));   // global value
    EXPECT_FALSE(cfg.block_switch(BLOCK_PORNO, a));
    EXPECT_FALSE(cfg.block_switch(BLOCK_PORNO, b));
    EXPECT_FALSE(cfg.block_switch(BLOCK_ALL, a));     // only the third block assigns it
    EXPECT_TRUE(cfg.block_switch(BLOCK_ALL, b));
    EXPECT_TRUE(cfg.block_switch(BLOCK_VIOLENCE, a));  // assigned nowhere
    EXPECT_FALSE(cfg.block[BLOCK_CHATS]);              // overrides never touch the global value
    EXPECT_EQ(&cfg.block_switch(BLOCK_ALL, b), &cfg.block[BLOCK_ALL]);
    EXPECT_THROW(cfg.block_switch(BLOCK_SWITCH_COUNT, a), std::out_of_range);
}

TEST(ConfigRegister, Functions)
{
    icapd_config cfg;
    cf_parser p;
    config_register(p, cfg);
    cfg.bind_callbacks(p);
    auto e = url_is("http://a/");
    p.run_callback_add_func("is_a", e);
    EXPECT_EQ(p.run_callback_get_func("is_a"), e);
    EXPECT_EQ(error_of([&] { p.run_callback_add_func("is_a", e); }), "Function is_a already exists");
    EXPECT_EQ(error_of([&] { p.run_callback_get_func("IS_A"); }), "Function IS_A not found");
    p.run_callback_add_expr(e);
    EXPECT_EQ(cfg.mb.size(), 1u);
    p.run_callback_add_mime_block("text pass all\n");
    EXPECT_EQ(cfg.mime.level1.size(), 2u);
    EXPECT_THROW(p.run_callback_add_mime_block("text scan\n"), mime_syntax_error);
}

}  // namespace
