// The configuration load sequence in-process: messages of failed loads,
// the default account, the log-size check, the quarantine limits, the I/O
// time-out and a reload of the same text.
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
    void TearDown() override
    {
        config_reset();
        log_close();
        log_set_level_mask(1);
    }

    // Loads text the way a reload does (reset, closed log, the loader).
    void load(const std::string &text)
    {
        write_file(dir_ / "c.ini", text);
        g_startup.source = dir_ / "c.ini";
        config_reset();
        log_close();
        config_reload();
    }

    // The message of a load that must fail.
    std::string load_error(const std::string &text)
    {
        try {
            load(text);
        } catch (const std::exception &e) {
            return e.what();
        }
        ADD_FAILURE() << "the load succeeded";
        return "";
    }

    std::string user_line() const { return "User = " + current_user() + "\n"; }

    temp_dir dir_;
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
    std::string msg = load_error("LogLevel = 1\n");
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
    ASSERT_EQ(g_config.mb.size(), 2u);
    ASSERT_EQ(g_config.functions.size(), 1u);
    const size_t mime1 = mime_rules_level1().size(), mime2 = mime_rules_level2().size();
    ASSERT_EQ(mime1, 2u);  // "*" and image
    ASSERT_EQ(mime2, 1u);  // text/css
    EXPECT_FALSE(g_config.KeepAlive);
    for (int i = 0; i < 2; ++i) {
        load(text);
        EXPECT_EQ(g_config.tavex_addresses.size(), 3u);
        EXPECT_EQ(g_config.tavex_addresses[0].host, "127.0.0.1");
        EXPECT_EQ(g_config.tavex_addresses[1].host, "/tmp/tavexd.sock");
        EXPECT_EQ(g_config.BlackHosts.size(), 2u);
        EXPECT_EQ(g_config.mb.size(), 2u);
        EXPECT_EQ(g_config.functions.size(), 1u);
        EXPECT_EQ(mime_rules_level1().size(), mime1);
        EXPECT_EQ(mime_rules_level2().size(), mime2);
    }

    // A line removed from the text is gone after the next load, and the
    // key is back at its default.
    load(user_line() + "BlackHosts = \"" + dir_ / "black2.txt" + "\"\n");
    EXPECT_EQ(g_config.BlackHosts, std::vector<std::string>{dir_ / "black2.txt"});
    EXPECT_TRUE(g_config.tavex_addresses.empty());
    EXPECT_TRUE(g_config.KeepAlive);
    EXPECT_TRUE(g_config.mb.empty());
    EXPECT_TRUE(g_config.functions.empty());
    EXPECT_EQ(mime_rules_level1().size(), 1u);
    EXPECT_TRUE(mime_rules_level2().empty());
}
