// Setters of the parameter table: stored values, exact messages, fields
// left unchanged by a rejected value, the scan option bits, list appends,
// defaults of a fresh load, and the log settings pushed to the log module.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <unistd.h>

#include "config/config_words.h"
#include "config/icapd_config.h"
#include "log/log.h"
#include "support/log_capture.h"

namespace {

// Runs f and returns the message it threw, or "" when it did not throw.
template <class F>
std::string error_of(F f)
{
    try {
        f();
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "";
}

using word_setter = void (icapd_config::*)(const std::string &);

TEST(ConfigSetters, WordCodedKeys)
{
    struct {
        const char *key;
        word_setter set;
        int icapd_config::*field;
        const char *value;
        int want;           // stored code when accepted
        const char *error;  // exact message when rejected
    } cases[] = {
        {"SyslogFacility", &icapd_config::set_SyslogFacility, &icapd_config::SyslogFacility, "local3", 152, ""},
        {"SyslogFacility", &icapd_config::set_SyslogFacility, &icapd_config::SyslogFacility, "DAEMON", 24, ""},
        {"SyslogFacility", &icapd_config::set_SyslogFacility, &icapd_config::SyslogFacility, "Local8", 0,
         "wrong SyslogFacility: Local8"},
        {"SyslogFacility", &icapd_config::set_SyslogFacility, &icapd_config::SyslogFacility, "mai", 0,
         "wrong SyslogFacility: mai"},
        {"SyslogPriority", &icapd_config::set_SyslogPriority, &icapd_config::SyslogPriority, "WARNING", 4, ""},
        {"SyslogPriority", &icapd_config::set_SyslogPriority, &icapd_config::SyslogPriority, "alert", 1, ""},
        {"SyslogPriority", &icapd_config::set_SyslogPriority, &icapd_config::SyslogPriority, "debug", 0,
         "wrong SyslogPriority: debug"},
        {"Infected", &icapd_config::set_Infected, &icapd_config::Infected, "move", ACTION_MOVE, ""},
        {"Infected", &icapd_config::set_Infected, &icapd_config::Infected, "CURE", ACTION_PASS, ""},
        {"Infected", &icapd_config::set_Infected, &icapd_config::Infected, "pass", 0,
         "Invalid value for \"Infected\""},
        {"Infected", &icapd_config::set_Infected, &icapd_config::Infected, "scan", 0, "Unknown action: scan"},
        {"Incurable", &icapd_config::set_Incurable, &icapd_config::Incurable, "Truncate", ACTION_TRUNCATE, ""},
        {"Incurable", &icapd_config::set_Incurable, &icapd_config::Incurable, "pass", 0,
         "Invalud value for \"Incurable\""},
        {"Incurable", &icapd_config::set_Incurable, &icapd_config::Incurable, "cure", 0,
         "Invalud value for \"Incurable\""},
        {"Jokes", &icapd_config::set_Jokes, &icapd_config::Jokes, "move", ACTION_MOVE, ""},
        {"Jokes", &icapd_config::set_Jokes, &icapd_config::Jokes, "cure", 0, "Invalid action"},
        {"Jokes", &icapd_config::set_Jokes, &icapd_config::Jokes, "scan", 0, "Unknown action: scan"},
        {"Jokes", &icapd_config::set_Jokes, &icapd_config::Jokes, "report ", 0, "Unknown action: report "},
        {"Suspicious", &icapd_config::set_Suspicious, &icapd_config::Suspicious, "PASS", ACTION_PASS, ""},
        {"Adware", &icapd_config::set_Adware, &icapd_config::Adware, "truncate", ACTION_TRUNCATE, ""},
        {"Dialers", &icapd_config::set_Dialers, &icapd_config::Dialers, "cure", 0, "Invalid action"},
        {"Riskware", &icapd_config::set_Riskware, &icapd_config::Riskware, "report", ACTION_REPORT, ""},
        {"Hacktools", &icapd_config::set_Hacktools, &icapd_config::Hacktools, "move", ACTION_MOVE, ""},
        {"ArchiveRestriction", &icapd_config::set_ArchiveRestriction, &icapd_config::ArchiveRestriction, "pass",
         ACTION_PASS, ""},
        {"DaemonError", &icapd_config::set_DaemonError, &icapd_config::DaemonError, "", 0, "Unknown action: "},
        {"SkipObject", &icapd_config::set_SkipObject, &icapd_config::SkipObject, "Move", ACTION_MOVE, ""},
    };
    for (auto &c : cases) {
        icapd_config cfg;
        cfg.store_defaults();
        const int before = cfg.*c.field;
        std::string err = error_of([&] { (cfg.*c.set)(c.value); });
        EXPECT_EQ(err, c.error) << c.key << " = " << c.value;
        EXPECT_EQ(cfg.*c.field, *c.error ? before : c.want) << c.key << " = " << c.value;
    }
    log_set_syslog_facility(8);
    log_set_syslog_priority(6);
}

TEST(ConfigSetters, InfectedOwnsTheCureBit)
{
    icapd_config cfg;
    cfg.store_defaults();
    EXPECT_EQ(cfg.scan_options & TAVEX_OPT_CURE, TAVEX_OPT_CURE);
    cfg.set_Infected("move");
    EXPECT_EQ(cfg.scan_options & TAVEX_OPT_CURE, 0u);
    EXPECT_NE(error_of([&] { cfg.set_Infected("pass"); }), "");
    EXPECT_EQ(cfg.scan_options & TAVEX_OPT_CURE, 0u);
    cfg.set_Infected("Cure");
    EXPECT_EQ(cfg.Infected, ACTION_PASS);
    EXPECT_EQ(cfg.scan_options & TAVEX_OPT_CURE, TAVEX_OPT_CURE);

    cfg.set_Heuristic(false);
    EXPECT_FALSE(cfg.Heuristic);
    EXPECT_EQ(cfg.scan_options, 0x80400042u | TAVEX_OPT_CURE);
    cfg.set_Heuristic(true);
    EXPECT_EQ(cfg.scan_options, 0x8040004Au);
}

TEST(ConfigSetters, DirectoriesSizesAndLists)
{
    icapd_config cfg;
    cfg.store_defaults();
    cfg.set_Cache("/tmp");
    EXPECT_EQ(cfg.Cache, "/tmp/");
    cfg.set_UcfDirectory("/var/ucf/");
    EXPECT_EQ(cfg.UcfDirectory, "/var/ucf/");
    cfg.set_UcfDirectory("");
    EXPECT_EQ(cfg.UcfDirectory, "");
    cfg.set_PathToQuarantine("/tmp");
    EXPECT_EQ(cfg.PathToQuarantine, "/tmp");

    EXPECT_EQ(error_of([&] { cfg.set_MaxBlocksize(0); }), "Error in MaxBlocksize setting: it must be > 0.");
    EXPECT_EQ(cfg.MaxBlocksize, 10485760u);
    cfg.set_MaxBlocksize(65536);
    EXPECT_EQ(cfg.MaxBlocksize, 65536u);

    cfg.set_BlackHosts({"/etc/a"});
    cfg.set_BlackHosts({});
    cfg.set_BlackHosts({"/etc/b", "/etc/c"});
    EXPECT_EQ(cfg.BlackHosts, (std::vector<std::string>{"/etc/a", "/etc/b", "/etc/c"}));
    cfg.set_AclList({"x"});
    cfg.set_WhiteHosts({"y"});
    cfg.set_WhiteUcfFiles({"z"});
    EXPECT_EQ(cfg.AclList.size() + cfg.WhiteHosts.size() + cfg.WhiteUcfFiles.size(), 3u);
}

TEST(ConfigSetters, TavexAddressKeepsEntriesBeforeARejectedElement)
{
    log_capture log(0);
    icapd_config cfg;
    cfg.set_TavexAddress({"local:/run/a.sock"});
    EXPECT_EQ(error_of([&] { cfg.set_TavexAddress({"inet:3000@h", "inet:3000"}); }),
              "Error parsing daemon address");
    ASSERT_EQ(cfg.tavex_addresses.size(), 2u);
    EXPECT_EQ(cfg.tavex_addresses[0].host, "/run/a.sock");
    EXPECT_EQ(cfg.tavex_addresses[1].serv, "3000");
    EXPECT_EQ(cfg.TavexAddress, (std::vector<std::string>{"local:/run/a.sock", "inet:3000@h"}));
    EXPECT_NE(log.text().find("Error in address :3000 - absent '@'"), std::string::npos);
}

TEST(ConfigSetters, User)
{
    icapd_config cfg;
    cfg.store_defaults();
    EXPECT_FALSE(cfg.user_from_file);
    cfg.user_id = cfg.group_id = 12345;
    EXPECT_EQ(error_of([&] { cfg.set_User("no-such-user-tvx"); }),
              "failed to parse User: no such user \"no-such-user-tvx\"");
    EXPECT_EQ(cfg.User, "tavex");
    EXPECT_EQ(cfg.user_id, 12345u);
    EXPECT_FALSE(cfg.user_from_file);

    cfg.set_User("root");
    EXPECT_EQ(cfg.User, "root");
    EXPECT_EQ(cfg.user_id, 0u);
    EXPECT_EQ(cfg.group_id, 0u);
    EXPECT_TRUE(cfg.user_from_file);
    cfg.resolve_default_user();  // the file named an account: nothing to do
    EXPECT_EQ(cfg.User, "root");

    // A fresh load whose text is silent resolves the default account.
    cfg.store_defaults();
    cfg.User = "no-such-default-tvx";
    EXPECT_EQ(error_of([&] { cfg.resolve_default_user(); }),
              "failed to parse User: no such user \"no-such-default-tvx\"");
    cfg.User = "root";
    cfg.user_id = 7;
    cfg.resolve_default_user();
    EXPECT_EQ(cfg.user_id, 0u);
}

TEST(ConfigSetters, LogSettingsReachTheLogModule)
{
    char tmpl[] = "/tmp/tvx-cfg-logfile-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    icapd_config cfg;

    cfg.set_LogFile("SysLog");
    EXPECT_EQ(log_destination(), LOG_DEST_SYSLOG);
    cfg.set_LogFile(dir + "/icapd.log");
    EXPECT_GE(log_destination(), 0);
    EXPECT_EQ(cfg.LogFile, dir + "/icapd.log");
    EXPECT_EQ(error_of([&] { cfg.set_LogFile(dir + "/none/x.log"); }),
              "failed to open logfile [" + dir + "/none/x.log]: No such file or directory");
    EXPECT_EQ(log_destination(), LOG_DEST_CLOSED);

    cfg.set_LogLevel(35);
    EXPECT_EQ(log_level_mask(), 35u);
    cfg.set_LogLevel(-1);
    EXPECT_EQ(log_level_mask(), 0xFFFFFFFFu);
    cfg.store_defaults();
    EXPECT_EQ(log_level_mask(), 1u);
    EXPECT_EQ(log_destination(), LOG_DEST_CLOSED);

    log_close();
    unlink((dir + "/icapd.log").c_str());
    rmdir(dir.c_str());
}

TEST(ConfigDefaults, StoreDefaultsUndoesEveryAssignment)
{
    icapd_config cfg;
    cfg.set_Infected("move");
    cfg.set_Heuristic(false);
    cfg.set_Jokes("move");
    cfg.set_Cache("/x");
    cfg.set_BlockChats(true);
    cfg.set_BlockPorno(false);
    cfg.set_WhiteHosts({"a"});
    cfg.set_MaxBlocksize(1);
    cfg.set_Timeout(5);
    cfg.set_UsePreview(false);
    cfg.set_User("root");
    cfg.store_defaults();

    const icapd_config fresh;
    EXPECT_EQ(cfg.scan_options, 0x8040004Au);
    EXPECT_EQ(cfg.Infected, ACTION_PASS);
    EXPECT_TRUE(cfg.Heuristic);
    EXPECT_EQ(cfg.Jokes, ACTION_PASS);
    EXPECT_EQ(cfg.Incurable, ACTION_REPORT);
    EXPECT_EQ(cfg.Cache, "/var/tavex/cache/");
    EXPECT_FALSE(cfg.BlockChats);
    EXPECT_TRUE(cfg.BlockPorno);
    EXPECT_TRUE(cfg.WhiteHosts.empty());
    EXPECT_EQ(cfg.MaxBlocksize, 10485760u);
    EXPECT_EQ(cfg.Timeout, 60);
    EXPECT_TRUE(cfg.UsePreview);
    EXPECT_EQ(cfg.User, "tavex");
    EXPECT_FALSE(cfg.user_from_file);
    EXPECT_EQ(cfg.QuarantineFilesMode, 0660);
    EXPECT_EQ(cfg.MailCommand, fresh.MailCommand);
    EXPECT_EQ(cfg.LogFile, "");
}

}  // namespace
