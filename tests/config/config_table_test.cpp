// Checks of the parameter table, applied through the table as a load
// applies them: stored values, exact messages, fields left unchanged by a
// rejected value, the scan option bits, list appends, and the log settings
// (live in the first load, kept for the commit in a reload).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include "conf_parser/cf_parser.h"
#include "config/config_setters.h"

#include "config/config_words.h"
#include "config/icapd_config.h"
#include "config/param_table.h"
#include "log/log.h"
#include "support/log_capture.h"

namespace {

// A scratch directory for log files, removed with what it holds.
struct temp_dir_for_log {
    std::string path;
    temp_dir_for_log()
    {
        char tmpl[] = "/tmp/tvx-cfg-logfile-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~temp_dir_for_log()
    {
        for (const char *name : {"/icapd.log", "/new.log", "/link.log", "/victim"})
            unlink((path + name).c_str());
        rmdir(path.c_str());
    }
};

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

TEST(ConfigSetters, WordCodedKeys)
{
    struct {
        const char *key;
        int icapd_config::*field;
        const char *value;
        int want;           // stored code when accepted
        const char *error;  // exact message when rejected
    } cases[] = {
        {"SyslogFacility", &icapd_config::SyslogFacility, "local3", 152, ""},
        {"SyslogFacility", &icapd_config::SyslogFacility, "DAEMON", 24, ""},
        {"SyslogFacility", &icapd_config::SyslogFacility, "Local8", 0,
         "wrong SyslogFacility: Local8"},
        {"SyslogFacility", &icapd_config::SyslogFacility, "mai", 0,
         "wrong SyslogFacility: mai"},
        {"SyslogPriority", &icapd_config::SyslogPriority, "WARNING", 4, ""},
        {"SyslogPriority", &icapd_config::SyslogPriority, "alert", 1, ""},
        {"SyslogPriority", &icapd_config::SyslogPriority, "debug", 0,
         "wrong SyslogPriority: debug"},
        {"Infected", &icapd_config::Infected, "move", ACTION_MOVE, ""},
        {"Infected", &icapd_config::Infected, "CURE", ACTION_PASS, ""},
        {"Infected", &icapd_config::Infected, "pass", 0,
         "Invalid value for \"Infected\""},
        {"Infected", &icapd_config::Infected, "scan", 0, "Unknown action: scan"},
        {"Incurable", &icapd_config::Incurable, "Truncate", ACTION_TRUNCATE, ""},
        {"Incurable", &icapd_config::Incurable, "pass", 0,
         "Invalud value for \"Incurable\""},
        {"Incurable", &icapd_config::Incurable, "cure", 0,
         "Invalud value for \"Incurable\""},
        {"Jokes", &icapd_config::Jokes, "move", ACTION_MOVE, ""},
        {"Jokes", &icapd_config::Jokes, "cure", 0, "Invalid action"},
        {"Jokes", &icapd_config::Jokes, "scan", 0, "Unknown action: scan"},
        {"Jokes", &icapd_config::Jokes, "report ", 0, "Unknown action: report "},
        {"Suspicious", &icapd_config::Suspicious, "PASS", ACTION_PASS, ""},
        {"Adware", &icapd_config::Adware, "truncate", ACTION_TRUNCATE, ""},
        {"Dialers", &icapd_config::Dialers, "cure", 0, "Invalid action"},
        {"Riskware", &icapd_config::Riskware, "report", ACTION_REPORT, ""},
        {"Hacktools", &icapd_config::Hacktools, "move", ACTION_MOVE, ""},
        {"ArchiveRestriction", &icapd_config::ArchiveRestriction, "pass",
         ACTION_PASS, ""},
        {"DaemonError", &icapd_config::DaemonError, "", 0, "Unknown action: "},
        {"SkipObject", &icapd_config::SkipObject, "Move", ACTION_MOVE, ""},
    };
    for (auto &c : cases) {
        icapd_config cfg;
        const int before = cfg.*c.field;
        std::string err = error_of([&] { config_assign(cfg, c.key, c.value); });
        EXPECT_EQ(err, c.error) << c.key << " = " << c.value;
        EXPECT_EQ(cfg.*c.field, *c.error ? before : c.want) << c.key << " = " << c.value;
    }
}

TEST(ConfigSetters, InfectedOwnsTheCureBit)
{
    icapd_config cfg;
    EXPECT_EQ(cfg.scan_options & TAVEX_OPT_CURE, TAVEX_OPT_CURE);
    config_assign(cfg, "Infected", "move");
    EXPECT_EQ(cfg.scan_options & TAVEX_OPT_CURE, 0u);
    EXPECT_NE(error_of([&] { config_assign(cfg, "Infected", "pass"); }), "");
    EXPECT_EQ(cfg.scan_options & TAVEX_OPT_CURE, 0u);
    config_assign(cfg, "Infected", "Cure");
    EXPECT_EQ(cfg.Infected, ACTION_PASS);
    EXPECT_EQ(cfg.scan_options & TAVEX_OPT_CURE, TAVEX_OPT_CURE);

    config_assign(cfg, "Heuristic", "no");
    EXPECT_FALSE(cfg.Heuristic);
    EXPECT_EQ(cfg.scan_options, 0x80400042u | TAVEX_OPT_CURE);
    config_assign(cfg, "Heuristic", "yes");
    EXPECT_EQ(cfg.scan_options, 0x8040004Au);
}

TEST(ConfigSetters, DirectoriesSizesAndLists)
{
    icapd_config cfg;
    config_assign(cfg, "Cache", "/tmp");
    EXPECT_EQ(cfg.Cache, "/tmp/");
    config_assign(cfg, "UcfDirectory", "/var/ucf/");
    EXPECT_EQ(cfg.UcfDirectory, "/var/ucf/");
    config_assign(cfg, "UcfDirectory", "");
    EXPECT_EQ(cfg.UcfDirectory, "");
    config_assign(cfg, "PathToQuarantine", "/tmp");
    EXPECT_EQ(cfg.PathToQuarantine, "/tmp");

    EXPECT_EQ(error_of([&] { config_assign(cfg, "MaxBlocksize", "0"); }),
              "Error in MaxBlocksize setting: it must be > 0.");
    EXPECT_EQ(cfg.MaxBlocksize, 10485760u);
    config_assign(cfg, "MaxBlocksize", "65536b");
    EXPECT_EQ(cfg.MaxBlocksize, 65536u);

    config_assign(cfg, "BlackHosts", "/etc/a");
    config_assign(cfg, "BlackHosts", "");
    config_assign(cfg, "BlackHosts", "/etc/b");
    config_assign(cfg, "BlackHosts", "/etc/c");
    EXPECT_EQ(cfg.BlackHosts, (std::vector<std::string>{"/etc/a", "/etc/b", "/etc/c"}));
    config_assign(cfg, "AclList", "x");
    config_assign(cfg, "WhiteHosts", "y");
    config_assign(cfg, "WhiteUcfFiles", "z");
    EXPECT_EQ(cfg.AclList.size() + cfg.WhiteHosts.size() + cfg.WhiteUcfFiles.size(), 3u);

    // The resource bounds refuse negative values; 0 switches them off.
    struct {
        const char *key;
        const char *value;
        const char *error;
    } bounds[] = {
        {"MaxChildren", "4", ""},
        {"MaxChildren", "0", ""},
        {"MaxChildren", "-1", "Error in MaxChildren setting: it must be >= 0."},
        {"IdleTimeout", "0", ""},
        {"IdleTimeout", "-5", "Error in IdleTimeout setting: it must be >= 0."},
    };
    for (const auto &b : bounds)
        EXPECT_EQ(error_of([&] { config_assign(cfg, b.key, b.value); }), b.error) << b.key << " = " << b.value;
    EXPECT_EQ(cfg.MaxChildren, 0);
    EXPECT_EQ(cfg.IdleTimeout, 0);
}

TEST(ConfigSetters, TavexAddressKeepsEntriesBeforeARejectedElement)
{
    log_capture log(0);
    icapd_config cfg;
    config_assign(cfg, "TavexAddress", "local:/run/a.sock");
    cf_parser p;
    config_register(p, cfg);
    EXPECT_TRUE(p.parse_list("TavexAddress", "inet:3000@h", true));
    EXPECT_EQ(error_of([&] { p.parse_list("TavexAddress", "inet:3000", true); }), "Error parsing daemon address");
    ASSERT_EQ(cfg.tavex_addresses.size(), 2u);
    EXPECT_EQ(cfg.tavex_addresses[0].host, "/run/a.sock");
    EXPECT_EQ(cfg.tavex_addresses[1].serv, "3000");
    EXPECT_EQ(cfg.TavexAddress, (std::vector<std::string>{"local:/run/a.sock", "inet:3000@h"}));
    EXPECT_NE(log.text().find("Error in address :3000 - absent '@'"), std::string::npos);
}

TEST(ConfigSetters, User)
{
    icapd_config cfg;
    EXPECT_FALSE(cfg.user_resolved);
    cfg.user_id = cfg.group_id = 12345;
    EXPECT_EQ(error_of([&] { config_assign(cfg, "User", "no-such-user-tvx"); }),
              "failed to parse User: no such user \"no-such-user-tvx\"");
    EXPECT_EQ(cfg.User, "tavex");
    EXPECT_EQ(cfg.user_id, 12345u);
    EXPECT_FALSE(cfg.user_resolved);

    config_assign(cfg, "User", "root");
    EXPECT_EQ(cfg.User, "root");
    EXPECT_EQ(cfg.user_id, 0u);
    EXPECT_EQ(cfg.group_id, 0u);
    EXPECT_TRUE(cfg.user_resolved);
    resolve_default_user(cfg);  // the file named an account: nothing to do
    EXPECT_EQ(cfg.User, "root");

    // A fresh load whose text is silent resolves the default account.
    icapd_config silent;
    silent.User = "no-such-default-tvx";
    EXPECT_EQ(error_of([&] { resolve_default_user(silent); }),
              "failed to parse User: no such user \"no-such-default-tvx\"");
    silent.User = "root";
    silent.user_id = 7;
    resolve_default_user(silent);
    EXPECT_EQ(silent.user_id, 0u);
}

TEST(ConfigSetters, LiveLogSettingsReachTheLogModuleAtOnce)
{
    temp_dir_for_log dir;
    icapd_config cfg;
    cfg.log_live = true;

    config_assign(cfg, "LogFile", "SysLog");
    EXPECT_EQ(log_destination(), LOG_DEST_SYSLOG);
    config_assign(cfg, "LogFile", dir.path + "/icapd.log");
    EXPECT_GE(log_destination(), 0);
    EXPECT_EQ(cfg.LogFile, dir.path + "/icapd.log");
    EXPECT_EQ(error_of([&] { config_assign(cfg, "LogFile", dir.path + "/none/x.log"); }),
              "failed to open logfile [" + dir.path + "/none/x.log]: No such file or directory");
    EXPECT_EQ(log_destination(), LOG_DEST_CLOSED);

    config_assign(cfg, "LogLevel", "35");
    EXPECT_EQ(log_level_mask(), 35u);
    config_assign(cfg, "LogLevel", "-1");
    EXPECT_EQ(log_level_mask(), 0xFFFFFFFFu);
    config_assign(cfg, "SyslogFacility", "daemon");
    config_assign(cfg, "SyslogPriority", "alert");
    log_close();
    log_set_level_mask(1);
    log_set_syslog_facility(8);
    log_set_syslog_priority(6);
}

TEST(ConfigSetters, StagedLogSettingsWaitForTheCommit)
{
    temp_dir_for_log dir;
    log_close();
    log_set_level_mask(1);
    icapd_config cfg;  // not live: a reload
    config_assign(cfg, "LogFile", dir.path + "/new.log");
    EXPECT_GE(cfg.log_dest, 0);
    EXPECT_EQ(log_destination(), LOG_DEST_CLOSED);
    const int first = cfg.log_dest;
    config_assign(cfg, "LogFile", "syslog");  // the file opened before is let go
    EXPECT_EQ(cfg.log_dest, LOG_DEST_SYSLOG);
    EXPECT_EQ(fcntl(first, F_GETFD), -1);
    config_assign(cfg, "LogLevel", "35");
    EXPECT_EQ(log_level_mask(), 1u);
    EXPECT_EQ(error_of([&] { config_assign(cfg, "LogFile", dir.path + "/none/x.log"); }),
              "failed to open logfile [" + dir.path + "/none/x.log]: No such file or directory");
    EXPECT_EQ(cfg.log_dest, LOG_DEST_SYSLOG);

    // A symbolic link planted at the log's name is never written through.
    const std::string victim = dir.path + "/victim";
    const std::string link = dir.path + "/link.log";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_EQ(error_of([&] { config_assign(cfg, "LogFile", link); }),
              "failed to open logfile [" + link + "]: Too many levels of symbolic links");
    EXPECT_EQ(access(victim.c_str(), F_OK), -1);
}

}  // namespace
