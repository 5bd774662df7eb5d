// E-mail notifications: the command line and recipient checks, the lock
// file per object, the expanded template, and mailers that fail, hang or
// never read, run as real processes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "report/mail.h"
#include "request/request.h"
#include "support/log_capture.h"
#include "support/support.h"

using namespace tvx_test;

TEST(mail_command, the_recipient_goes_into_the_first_placeholder_only)
{
    struct {
        const char *format, *expected;
    } cases[] = {
        {"/usr/sbin/sendmail -i -bm -f tavex -- %s", "/usr/sbin/sendmail -i -bm -f tavex -- admin@example.org"},
        {"mail %s %s", "mail admin@example.org %s"},
        {"mail -s 100%% %s", "mail -s 100% admin@example.org"},
        {"mail %n %d %x -- %s", "mail %n %d %x -- admin@example.org"},  // never a printf format
        {"mail --", "mail --"},
        {"tail %", "tail %"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mail_command_line(c.format, "admin@example.org"), c.expected) << c.format;
}

TEST(mail_command, only_address_characters_reach_the_shell)
{
    for (const char *ok : {"admin@example.org", "first.last+icap@mail-1.example.org", "root"})
        EXPECT_TRUE(mail_address_is_safe(ok)) << ok;
    for (const char *bad : {"", "a@b;reboot", "a@b c", "$(id)@x", "a`b`", "-oQ/tmp", "a@b\n", "a|b", "'x'"})
        EXPECT_FALSE(mail_address_is_safe(bad)) << bad;
}

namespace {

class mail_test : public ::testing::Test {
protected:
    temp_dir dir;
    icap_entity body;

    void SetUp() override
    {
        icap_request_reset(g_request);
        g_config = icapd_config();
        mkdir((dir / "cache").c_str(), 0700);
        mkdir((dir / "templates").c_str(), 0700);
        mkdir((dir / "out").c_str(), 0700);
        g_config.Cache = dir / "cache/";
        g_config.Templates = dir / "templates";
        g_config.Hostmaster = "admin@example.org";
        g_config.Timeout = 2;
        // Each message into a file of its own, named by recipient and pid.
        g_config.MailCommand = "cat > " + dir / "out" + "/%s.$$";
        write_file(dir / "templates/email.templ",
                   "To: $HOSTMASTER$\nSubject: $ACTION$\n\n$REASON$|$ACTION$|$IP$|$SIZE$|$URL$|$Other$|$TIME$\n"
                   "$HTML_PAGE$");
        write_file(dir / "templates/ERR_DOWNLOAD_BLOCK", "<p>blocked $URL$</p>\n");
        snprintf(g_request.url, sizeof g_request.url, "%s", "example.com/a/b?x=<1>");
        body.size = 1234;
    }
    void TearDown() override
    {
        icap_request_reset(g_request);
        g_config = icapd_config();
    }
    int send(const std::string &lock = "shop.example/x")
    {
        return tvx_report_file(g_request, body, "in black list", "Content blocked", "/ERR_DOWNLOAD_BLOCK", lock,
                               page_values());
    }
    std::vector<std::string> messages() const { return list_dir(dir / "out"); }
};

}  // namespace

TEST_F(mail_test, the_message_is_the_expanded_template)
{
    ASSERT_EQ(send(), 200);
    std::vector<std::string> m = messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].substr(0, 18), "admin@example.org.");
    std::string text = read_file(dir / ("out/" + m[0]));
    const std::string head = "To: admin@example.org\nSubject: Content blocked\n\n"
                             "in black list|Content blocked|?|1234|example.com/a/b?x=&lt;1&gt;|$Other$|";
    EXPECT_EQ(text.substr(0, head.size()), head) << text;
    EXPECT_NE(text.find("<p>blocked example.com/a/b?x=&lt;1&gt;</p>\n"), std::string::npos) << text;
    // The time in asctime form, without its line feed.
    EXPECT_NE(text.find(" 20"), std::string::npos);
}

TEST_F(mail_test, one_message_per_object_per_mail_cache_seconds)
{
    g_config.MailCache = 60;
    log_capture log(0xFF);
    ASSERT_EQ(send(), 200);
    ASSERT_EQ(send(), 200);
    EXPECT_EQ(messages().size(), 1u);
    const std::string lock = dir / "cache/lock.shop.example|x";
    EXPECT_TRUE(file_exists(lock));
    EXPECT_TRUE(log.has("create " + lock + " file\n"));
    EXPECT_TRUE(log.has("file " + lock + " exist: skip email sending\n"));
    // Another object is another message.
    ASSERT_EQ(send("other.example"), 200);
    EXPECT_EQ(messages().size(), 2u);

    // A lock older than MailCache is replaced and the message sent.
    struct timeval old[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
    ASSERT_EQ(utimes(lock.c_str(), old), 0);
    ASSERT_EQ(send(), 200);
    EXPECT_EQ(messages().size(), 3u);
    EXPECT_TRUE(log.has("Remove old lock file " + lock + "\n"));
}

TEST_F(mail_test, mail_cache_0_sends_every_time_and_keeps_no_lock)
{
    g_config.MailCache = 0;
    ASSERT_EQ(send(), 200);
    ASSERT_EQ(send(), 200);
    EXPECT_EQ(messages().size(), 2u);
    EXPECT_TRUE(list_dir(dir / "cache").empty());
}

TEST_F(mail_test, without_a_lock_name_the_quarantine_name_of_the_url_names_the_lock)
{
    g_config.MailCache = 60;
    g_config.PathToQuarantine = dir / "q";
    ASSERT_EQ(send(""), 200);
    std::vector<std::string> locks = list_dir(dir / "cache");
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0].substr(0, 5), "lock.");
    EXPECT_EQ(locks[0].find('/'), std::string::npos);
    EXPECT_NE(locks[0].find("example.com|a|b"), std::string::npos) << locks[0];
}

TEST_F(mail_test, failures_are_logged_and_send_nothing)
{
    log_capture log(0xFF);
    // No template: the mailer is never started.
    unlink((dir / "templates/email.templ").c_str());
    EXPECT_EQ(send("a"), 0);
    EXPECT_TRUE(log.has("tvx_report_file: can not open template - " + dir / "templates/email.templ" +
                        ": No such file or directory\n"));
    EXPECT_TRUE(messages().empty());
    write_file(dir / "templates/email.templ", "To: $HOSTMASTER$\n\n$URL$\n");

    // A recipient that is not an address never reaches the shell.
    g_config.Hostmaster = "x; touch " + dir / "out/pwned";
    EXPECT_EQ(send("b"), 0);
    EXPECT_FALSE(file_exists(dir / "out/pwned"));
    g_config.Hostmaster = "admin@example.org";

    // A mailer that fails is not waited for beyond its end; its status is
    // not examined.
    g_config.MailCommand = "cat >/dev/null; exit 75";
    EXPECT_EQ(send("c"), 200);
}

TEST_F(mail_test, a_mailer_that_hangs_or_never_reads_costs_at_most_timeout)
{
    log_capture log(0xFF);
    // A page far larger than a pipe holds, for a mailer that reads nothing.
    write_file(dir / "templates/ERR_DOWNLOAD_BLOCK", std::string(1 << 20, 'x'));
    for (const char *cmd : {"sleep 30 # %s", "exec sleep 30 < /dev/null # %s"}) {
        g_config.MailCommand = cmd;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(send(cmd), 0) << cmd;
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(s, 10.0) << cmd;
    }
    EXPECT_NE(log.text().find("in execute sleep 30 # admin@example.org: Connection timed out\n"), std::string::npos)
        << log.text();
}
