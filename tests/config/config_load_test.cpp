// The configuration load sequence in-process: messages of failed loads,
// the default account, the log-size check, the quarantine limits, the I/O
// time-out, a reload of the same text, a failed reload that leaves the
// configuration in force alone, the keys only a restart changes, and the
// checks of the Cache directory.
#include <gtest/gtest.h>

#include <climits>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>

#include "config/config_load.h"
#include "config/icapd_config.h"
#include "io/io.h"
#include "log/log.h"
#include "policy/mime_rules.h"
#include "support/support.h"

using namespace tvx_test;

namespace {

class config_load_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir(cache_.c_str(), 0700);
        mkdir(ucf_.c_str(), 0700);
    }
    void TearDown() override
    {
        g_config = icapd_config();
        log_close();
        log_set_level_mask(1);
    }

    // Loads text the way start-up does.
    void load(const std::string &text)
    {
        write_file(dir_ / "c.ini", text);
        g_startup.source = dir_ / "c.ini";
        config_load_first();
    }

    // Loads text the way a reload does.
    void reload(const std::string &text)
    {
        write_file(dir_ / "c.ini", text);
        g_startup.source = dir_ / "c.ini";
        config_reload();
    }

    // The message of a load that must fail.
    std::string load_error(const std::string &text, bool as_reload = false)
    {
        try {
            if (as_reload)
                reload(text);
            else
                load(text);
        } catch (const std::exception &e) {
            return e.what();
        }
        ADD_FAILURE() << "the load succeeded";
        return "";
    }

    // The account and the Cache and category directories every load here
    // needs.
    std::string user_line() const { return "User = " + current_user() + "\nCache = \"" + cache_ + "\"\n" + ucf_line(); }
    std::string ucf_line() const { return "UcfDirectory = \"" + ucf_ + "\"\n"; }

    temp_dir dir_;
    std::string cache_ = dir_ / "cache/";
    std::string ucf_ = dir_ / "ucf/";
};

}  // namespace

TEST_F(config_load_test, missing_file)
{
    g_startup.source = dir_ / "absent.ini";
    try {
        config_reload();
        FAIL() << "the load succeeded";
    } catch (const std::exception &e) {
        EXPECT_EQ(std::string(e.what()),
                  "Error in opening ini file " + dir_ / "absent.ini" + " for reading: No such file or directory");
    }
}

TEST_F(config_load_test, unknown_user_is_reported_with_its_line)
{
    // An assignment is complete once its line end has been read, so its
    // errors carry the number of the line after it.
    std::string msg = load_error("LogLevel = 1\n\nUser = no-such-account-tvx\n");
    const std::string prefix = "Error while parsing config file: parser error at line 4: failed to parse User: ";
    EXPECT_EQ(msg.substr(0, prefix.size()), prefix) << msg;
    EXPECT_GT(msg.size(), prefix.size());
}

TEST_F(config_load_test, default_user_is_looked_up_only_when_the_file_names_none)
{
    // A file that names an existing account loads on any machine.
    load(user_line());
    EXPECT_EQ(g_config.User, current_user());
    EXPECT_EQ(g_config.user_id, getuid());

    if (getpwnam("tavex"))
        GTEST_SKIP() << "this machine has a tavex account";
    std::string msg = load_error("LogLevel = 1\nCache = \"" + cache_ + "\"\n" + ucf_line());
    const std::string prefix = "Error while parsing config file: failed to parse User: ";
    EXPECT_EQ(msg.substr(0, prefix.size()), prefix) << msg;
}

TEST_F(config_load_test, oversized_log_file_is_emptied_at_the_end_of_the_load)
{
    struct {
        const char *max;
        size_t left;
    } cases[] = {
        {"1b", 0},    // 2 bytes > 1 byte
        {"2b", 2},    // not larger than the limit
        {"1", 2},     // 1 KiB
        {"inf", 2},   // no check
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.max);
        std::string log = dir_ / "icapd.log";
        write_file(log, "ab");
        load("LogFile = \"" + log + "\"\nMaxLogSize = " + c.max + "\n" + user_line());
        EXPECT_EQ(read_file(log).size(), c.left);
    }
}

TEST_F(config_load_test, compiled_expressions_are_logged_line_by_line)
{
    std::string log = dir_ / "icapd.log";
    load("LogFile = \"" + log + "\"\nLogLevel = 32\n" + user_line() +
         "[def]\nguest = { request_username == \"guest\" }\n"
         "[match]\nif guest() {\n    BlockAll = yes\n}\n");
    std::string text = read_file(log);
    EXPECT_NE(text.find("DEBUG FUNCTION: guest\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DEBUG MATCH_EXPRESSION:\n"), std::string::npos) << text;
}

TEST_F(config_load_test, finishing_steps_set_quarantine_limits_and_timeout)
{
    mkdir((dir_ / "q").c_str(), 0700);
    load("PathToQuarantine = \"" + dir_ / "q" + "\"\nTimeout = 7\n" + user_line());
    EXPECT_EQ(g_config.quarantine_name_max, static_cast<unsigned long>(pathconf((dir_ / "q").c_str(), _PC_NAME_MAX)));
    EXPECT_EQ(g_config.quarantine_path_max, static_cast<unsigned long>(pathconf((dir_ / "q").c_str(), _PC_PATH_MAX)));
    EXPECT_EQ(io_timeout(), 7);

    // The next load without the key puts the time-out back to its default.
    load(user_line());
    EXPECT_EQ(io_timeout(), 60);
}

TEST_F(config_load_test, reload_of_the_same_text_yields_the_same_state_once)
{
    write_file(dir_ / "tavexd.pid", "4242\n/tmp/tavexd.sock\n127.0.0.1:3000\n");
    // Numeric lines resolve to themselves: a host entry and an address each.
    write_file(dir_ / "black1.txt", "127.0.0.2\n");
    write_file(dir_ / "black2.txt", "# list two\n127.0.0.3\n");
    const std::string text = user_line() + "TavexAddress = \"inet:2001@127.0.0.1\"\n" +
                             "TavexAddress = \"pid:" + dir_ / "tavexd.pid" + "\"\n" +
                             "BlackHosts = \"" + dir_ / "black1.txt" + "\"\n" +
                             "BlackHosts = \"" + dir_ / "black2.txt" + "\"\n" + "KeepAlive = no\n" +
                             "MimeStart\nimage pass 2m scan\ntext/css pass all\nMimeEnd\n"
                             "[def]\n"
                             "office = { system_time >= \"08:00\" && system_time < \"18:00\" }\n"
                             "[match]\n"
                             "if office() {\n    BlockChats = yes\n}\n"
                             "if request_username == \"guest\" {\n    BlockAll = yes\n}\n";
    load(text);
    ASSERT_EQ(g_config.tavex_addresses.size(), 3u);
    ASSERT_EQ(g_config.BlackHosts.size(), 2u);
    ASSERT_EQ(g_config.black_hosts.size(), 4u);
    ASSERT_EQ(g_config.mb.size(), 2u);
    ASSERT_EQ(g_config.functions.size(), 1u);
    const size_t mime1 = g_config.mime.level1.size(), mime2 = g_config.mime.level2.size();
    ASSERT_EQ(mime1, 2u);  // "*" and image
    ASSERT_EQ(mime2, 1u);  // text/css
    EXPECT_FALSE(g_config.KeepAlive);
    for (int i = 0; i < 2; ++i) {
        reload(text);
        EXPECT_EQ(g_config.tavex_addresses.size(), 3u);
        EXPECT_EQ(g_config.tavex_addresses[0].host, "127.0.0.1");
        EXPECT_EQ(g_config.tavex_addresses[1].host, "/tmp/tavexd.sock");
        EXPECT_EQ(g_config.BlackHosts.size(), 2u);
        EXPECT_EQ(g_config.black_hosts.size(), 4u);
        EXPECT_EQ(g_config.mb.size(), 2u);
        EXPECT_EQ(g_config.functions.size(), 1u);
        EXPECT_EQ(g_config.mime.level1.size(), mime1);
        EXPECT_EQ(g_config.mime.level2.size(), mime2);
    }

    // A line removed from the text is gone after the next load, and the
    // key is back at its default.
    reload(user_line() + "BlackHosts = \"" + dir_ / "black2.txt" + "\"\n");
    EXPECT_EQ(g_config.BlackHosts, std::vector<std::string>{dir_ / "black2.txt"});
    ASSERT_EQ(g_config.black_hosts.size(), 2u);
    EXPECT_EQ(g_config.black_hosts.front().text, "127.0.0.3");
    EXPECT_TRUE(g_config.tavex_addresses.empty());
    EXPECT_TRUE(g_config.KeepAlive);
    EXPECT_TRUE(g_config.mb.empty());
    EXPECT_TRUE(g_config.functions.empty());
    EXPECT_EQ(g_config.mime.level1.size(), 1u);
    EXPECT_TRUE(g_config.mime.level2.empty());
}

TEST_F(config_load_test, failed_reload_leaves_the_configuration_and_its_log_in_force)
{
    const std::string log = dir_ / "icapd.log";
    const std::string good = "LogFile = \"" + log + "\"\nTimeout = 7\n" + user_line() +
                             "MimeStart\nimage pass all\nMimeEnd\n";
    struct {
        const char *what;
        std::string text;
        const char *message;  // part of the load's error
    } cases[] = {
        {"bad value", good + "Timeout = soon\n", "Error parsing digital_t"},
        {"unknown key", good + "Timout = 5\n", "Param not found"},
        {"log file that cannot be opened", "LogFile = \"" + dir_ / "no/such.log" + "\"\n" + user_line(),
         "failed to open logfile ["},
        {"a new log, then a bad line", "LogFile = \"" + dir_ / "other.log" + "\"\nTimeout = soon\n" + user_line(),
         "Error parsing digital_t"},
        {"MIME syntax", good + "MimeStart\ntext scan\nMimeEnd\n", "Wrong mime syntax"},
        {"missing Cache", good + "Cache = \"" + dir_ / "nowhere" + "\"\n", "Cache directory "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        load(good);
        const int dest = log_destination();
        ASSERT_GE(dest, 0);
        std::string msg = load_error(c.text, true);
        EXPECT_NE(msg.find(c.message), std::string::npos) << msg;
        EXPECT_EQ(log_destination(), dest);
        EXPECT_EQ(g_config.Timeout, 7);
        EXPECT_EQ(io_timeout(), 7);
        EXPECT_EQ(g_config.mime.level1.size(), 2u);
        EXPECT_EQ(g_config.LogFile, log);
        icapd_log(LOG_L_ERROR, "still here: %s\n", c.what);
        EXPECT_NE(read_file(log).find(std::string("still here: ") + c.what), std::string::npos);
    }
    EXPECT_EQ(read_file(dir_ / "other.log"), "");  // opened by the refused text, never written
}

TEST_F(config_load_test, keys_only_a_restart_changes_keep_their_running_values)
{
    const std::string log = dir_ / "icapd.log";
    load("LogFile = \"" + log + "\"\n" + user_line() + "BindPort = 1344\nPidFile = \"" + dir_ / "a.pid" + "\"\n");
    reload("LogFile = \"" + log + "\"\n" + user_line() + "BindPort = 2000\nBindAddress = 0.0.0.0\nPidFile = \"" +
         dir_ / "b.pid" + "\"\nTimeout = 9\n");
    EXPECT_EQ(g_config.BindPort, "1344");
    EXPECT_EQ(g_config.BindAddress, "127.0.0.1");
    EXPECT_EQ(g_config.PidFile, dir_ / "a.pid");
    EXPECT_EQ(g_config.Timeout, 9);  // everything else is applied
    std::string text = read_file(log);
    EXPECT_NE(text.find("WARN BindPort = 2000 needs a restart; keeping BindPort = 1344\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("WARN BindAddress = 0.0.0.0 needs a restart; keeping BindAddress = 127.0.0.1\n"),
              std::string::npos);
    EXPECT_NE(text.find("WARN PidFile = " + dir_ / "b.pid" + " needs a restart; keeping PidFile = " + dir_ / "a.pid"),
              std::string::npos);
    EXPECT_EQ(count_of(text, "needs a restart"), 3u);
}

TEST_F(config_load_test, cache_directory_must_belong_to_the_daemon_and_not_be_open_to_others)
{
    const std::string file = dir_ / "plain-file";
    write_file(file, "x");
    struct {
        const char *name;
        unsigned mode;    // 0: not made
        bool foreign;     // owned by another account
        const char *error;  // what follows "Cache directory <dir>: ", "" when accepted
    } cases[] = {
        {"c-private/", 0700, false, ""},
        {"c-group/", 0770, false, ""},
        {"c-missing/", 0, false, "No such file or directory"},
        {"c-open/", 0777, false, "is writable by others"},
        {"c-sticky/", 01777, false, "is writable by others"},
        {"c-foreign/", 0700, true, "is owned by uid "},
    };
    struct passwd *pw = getpwnam("nobody");
    const bool have_nobody = pw != nullptr;
    const uid_t nobody_uid = pw ? pw->pw_uid : 0;
    const gid_t nobody_gid = pw ? pw->pw_gid : 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = dir_ / c.name;
        if (c.mode) {
            mkdir(dir.c_str(), 0700);
            chmod(dir.c_str(), c.mode);
        }
        if (c.foreign) {
            if (getuid() != 0 || !have_nobody)
                continue;  // only root can give a directory away
            ASSERT_EQ(chown(dir.c_str(), nobody_uid, nobody_gid), 0);
        }
        std::string text = "User = " + current_user() + "\nCache = \"" + dir + "\"\n" + ucf_line();
        if (!*c.error) {
            load(text);
            EXPECT_EQ(g_config.Cache, dir);
        } else {
            std::string msg = load_error(text);
            EXPECT_EQ(msg.substr(0, msg.find(": ", 17) + 2), "Cache directory " + dir + ": ") << msg;
            EXPECT_NE(msg.find(c.error), std::string::npos) << msg;
        }
    }
    std::string msg = load_error("User = " + current_user() + "\nCache = \"" + file + "\"\n");
    EXPECT_EQ(msg, "Cache directory " + file + "/: Not a directory");
}
