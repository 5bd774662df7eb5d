// The mail fixtures through the boundary the daemon will use: MailCommand
// lines run by /bin/sh with the message on standard input. The capture
// script stores messages whole and plays each broken mailer it offers; a
// real exim delivers into the scratch folder's maildir and is read back.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/mail_capture.h"
#include "support/mail_command.h"
#include "support/mta_fixture.h"
#include "support/support.h"

namespace {

using tvx_test::captured_mail;
using tvx_test::delivered_mail;
using tvx_test::mail_capture;
using tvx_test::mail_run;
using tvx_test::mta_fixture;
using tvx_test::run_mail_command;
using tvx_test::temp_dir;

// Every byte value, CRLF and bare CR, a line holding a dot alone and one
// starting with "From ": what a careless mailer or shell would mangle.
std::string binary_message()
{
    std::string m = "To: admin@example.org\r\nSubject: every byte\r\n\r\n.\r\nFrom the scanner\r\nbare\rcr\n";
    for (int round = 0; round < 3; ++round)
        for (int c = 0; c < 256; ++c)
            m += static_cast<char>(c);
    m += std::string("\0\0tail", 6);
    return m;
}

// 1 MiB of body from a fixed pseudo-random sequence, after a short head.
std::string long_message()
{
    std::string m = "To: other@example.net\nSubject: long\n\n";
    unsigned x = 12345;
    std::string body(1 << 20, '\0');
    for (char &c : body) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    return m + body;
}

// True while the process exists and has not ended (a zombie has ended).
bool alive(pid_t pid)
{
    std::string stat = tvx_test::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

TEST(MailCommandLine, ExpandsAsPrintfWouldAndRefusesOtherConversions)
{
    EXPECT_EQ(tvx_test::mail_command_line("/bin/m -f 100%% -- %s", "a@b.c"), "/bin/m -f 100% -- a@b.c");
    EXPECT_THROW(tvx_test::mail_command_line("/bin/m", "a@b.c"), std::invalid_argument);
    EXPECT_THROW(tvx_test::mail_command_line("/bin/m %s %s", "a@b.c"), std::invalid_argument);
    EXPECT_THROW(tvx_test::mail_command_line("/bin/m %d %s", "a@b.c"), std::invalid_argument);
    EXPECT_THROW(tvx_test::mail_command_line("/bin/m %s %", "a@b.c"), std::invalid_argument);
}

TEST(MailCapture, StoresTwoMessagesByteForByteWithTheirRecipients)
{
    temp_dir tmp;
    mail_capture cap(tmp / "mail");
    const std::string first = binary_message(), second = long_message();

    mail_run r1 = run_mail_command(cap.command(), "admin@example.org", first);
    EXPECT_EQ(r1.status, 0);
    EXPECT_TRUE(r1.wrote_all);
    mail_run r2 = run_mail_command(cap.command(), "other@example.net", second);
    EXPECT_EQ(r2.status, 0);
    EXPECT_TRUE(r2.wrote_all);

    ASSERT_TRUE(cap.wait_messages(2));
    std::vector<captured_mail> got = cap.messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].data == first) << "first message changed, " << got[0].data.size() << " bytes";
    EXPECT_EQ(got[0].args, std::vector<std::string>{"admin@example.org"});
    EXPECT_EQ(got[0].recipient(), "admin@example.org");
    EXPECT_EQ(got[1].data.size(), second.size());
    EXPECT_TRUE(got[1].data == second) << "the 1 MiB message changed";
    EXPECT_EQ(got[1].recipient(), "other@example.net");
    EXPECT_LT(got[0].id, got[1].id);

    ASSERT_EQ(cap.calls().size(), 2u);
    EXPECT_EQ(cap.calls()[0].mode, "store");
    EXPECT_EQ(cap.calls()[1].mode, "store");
}

TEST(MailCapture, RecordsEveryArgumentAsTheShellPassedIt)
{
    temp_dir tmp;
    mail_capture cap(tmp / "mail");
    std::string cmd = cap.command();
    cmd.replace(cmd.rfind(" %s"), 3, " -i -f 'tavex icapd' -- %s");

    EXPECT_EQ(run_mail_command(cmd, "admin@example.org", "Subject: x\n\nx\n").status, 0);
    ASSERT_TRUE(cap.wait_messages(1));
    EXPECT_EQ(cap.messages()[0].args,
              (std::vector<std::string>{"-i", "-f", "tavex icapd", "--", "admin@example.org"}));
}

TEST(MailCapture, CommandQuotesAFolderNameTheShellOrPrintfWouldChange)
{
    temp_dir tmp;
    mail_capture cap(tmp / "odd 100% 'name' $HOME");
    EXPECT_EQ(run_mail_command(cap.command(), "admin@example.org", "Subject: odd\n\nbody\n").status, 0);
    ASSERT_TRUE(cap.wait_messages(1));
    EXPECT_EQ(cap.messages()[0].data, "Subject: odd\n\nbody\n");
}

TEST(MailCapture, AMessageIsNotListedBeforeItIsWhole)
{
    temp_dir tmp;
    mail_capture cap(tmp / "mail");
    const std::string message = long_message();
    const size_t half = message.size() / 2;
    // popen, as the daemon sends its notifications.
    FILE *mailer = popen(tvx_test::mail_command_line(cap.command(), "admin@example.org").c_str(), "w");
    ASSERT_NE(mailer, nullptr);
    ASSERT_EQ(fwrite(message.data(), 1, half, mailer), half);
    ASSERT_EQ(fflush(mailer), 0);

    // The script has read the first half into a file, whatever its name.
    auto partial = [&] {
        for (const std::string &name : tvx_test::list_dir(cap.dir())) {
            struct stat st;
            if (stat((cap.dir() + "/" + name).c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == half)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(tvx_test::eventually(partial));
    EXPECT_EQ(cap.count(), 0u);
    EXPECT_TRUE(cap.messages().empty());

    ASSERT_EQ(fwrite(message.data() + half, 1, message.size() - half, mailer), message.size() - half);
    int status = pclose(mailer);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(cap.count(), 1u);
    EXPECT_TRUE(cap.messages()[0].data == message);
    for (const std::string &name : tvx_test::list_dir(cap.dir()))
        EXPECT_NE(name[0], '.') << "temporary file left: " << name;
}

TEST(MailCapture, FailModeReadsTheMessageStoresNothingAndExits75)
{
    temp_dir tmp;
    mail_capture cap(tmp / "mail");
    mail_run r = run_mail_command(cap.command(mail_capture::mode::fail), "admin@example.org", long_message());
    EXPECT_EQ(r.status, 75);
    EXPECT_TRUE(r.wrote_all);  // it read all of 1 MiB: no EPIPE
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(cap.count(), 0u);
    ASSERT_EQ(cap.calls().size(), 1u);
    EXPECT_EQ(cap.calls()[0].mode, "fail");
}

TEST(MailCapture, HangModeNeverReadsAndIsEndedWithItsGroup)
{
    temp_dir tmp;
    mail_capture cap(tmp / "mail");
    mail_run r = run_mail_command(cap.command(mail_capture::mode::hang), "admin@example.org", long_message(), 1500);
    EXPECT_TRUE(r.timed_out);
    EXPECT_FALSE(r.wrote_all);  // 1 MiB does not fit in a pipe nobody reads
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(cap.count(), 0u);
    ASSERT_EQ(cap.calls().size(), 1u);
    EXPECT_EQ(cap.calls()[0].mode, "hang");
    pid_t pid = cap.calls()[0].pid;
    EXPECT_TRUE(tvx_test::eventually([&] { return !alive(pid); }, 5000));
}

TEST(MailCapture, AHangingMailerLeftBehindIsKilledWithTheCapture)
{
    temp_dir tmp;
    pid_t pid = -1;
    {
        mail_capture cap(tmp / "mail");
        std::string line = tvx_test::mail_command_line(cap.command(mail_capture::mode::hang, 60), "a@b.c");
        ASSERT_EQ(std::system((line + " </dev/null >/dev/null 2>&1 &").c_str()), 0);
        ASSERT_TRUE(cap.wait_calls(1));
        pid = cap.calls()[0].pid;
        ASSERT_TRUE(tvx_test::eventually([&] {
            return tvx_test::read_file("/proc/" + std::to_string(pid) + "/cmdline").rfind("sleep", 0) == 0;
        }));
        EXPECT_TRUE(alive(pid));
    }
    EXPECT_TRUE(tvx_test::eventually([&] { return !alive(pid); }, 5000));
}

TEST(MailCapture, NoReadModeExitsAtOnceAndTheWriterGetsEpipe)
{
    temp_dir tmp;
    mail_capture cap(tmp / "mail");
    mail_run r = run_mail_command(cap.command(mail_capture::mode::no_read), "admin@example.org", long_message());
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_FALSE(r.wrote_all);
    EXPECT_EQ(r.write_errno, EPIPE);
    EXPECT_EQ(cap.count(), 0u);
    ASSERT_EQ(cap.calls().size(), 1u);
    EXPECT_EQ(cap.calls()[0].mode, "no-read");
}

// Skips where exim cannot run, but not in CI, where scripts/deps.sh has
// installed it and the tests run as root.
#define REQUIRE_MTA(mta)                                                          \
    do {                                                                          \
        if (!(mta).usable()) {                                                    \
            if (std::getenv("CI"))                                                \
                FAIL() << "the MTA fixture must run in CI: " << (mta).why_not(); \
            GTEST_SKIP() << (mta).why_not();                                      \
        }                                                                         \
    } while (0)

TEST(MtaFixture, EximDeliversWhatTheMailCommandIsGivenIntoTheMaildir)
{
    temp_dir tmp;
    mta_fixture mta(tmp.path());
    REQUIRE_MTA(mta);

    std::string body = ".\nFrom the scanner: a line mbox would quote\n\xe9t\xe9 8-bit\n";
    for (int i = 0; i < 2000; ++i)
        body += "line " + std::to_string(i) + " of a notification long enough to need several pipe writes\n";
    const std::string message =
        "To: admin@example.org\nSubject: Tavex notification 42\nX-Tavex-Test: first\n\n" + body;

    // popen, as the daemon sends its notifications; -odi means the message
    // is in the maildir when pclose returns.
    FILE *mailer = popen(tvx_test::mail_command_line(mta.command(), "admin@example.org").c_str(), "w");
    ASSERT_NE(mailer, nullptr);
    ASSERT_EQ(fwrite(message.data(), 1, message.size(), mailer), message.size());
    int status = pclose(mailer);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << mta.main_log() << mta.panic_log();
    ASSERT_EQ(mta.count(), 1u) << mta.main_log() << mta.panic_log();

    mail_run second = run_mail_command(mta.command(), "other@example.net",
                                       "To: other@example.net\nSubject: second\n\nsecond body\n");
    EXPECT_EQ(second.status, 0);
    ASSERT_TRUE(mta.wait_messages(2)) << mta.main_log() << mta.panic_log();

    std::vector<delivered_mail> got = mta.messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].header("subject"), "Tavex notification 42");
    EXPECT_EQ(got[0].header("X-Tavex-Test"), "first");
    EXPECT_EQ(got[0].header("Envelope-to"), "admin@example.org");
    EXPECT_EQ(got[0].header("Return-path"), "<tavex@tavex-test.invalid>");
    EXPECT_NE(got[0].header("Received").find("with local"), std::string::npos) << got[0].head;
    EXPECT_FALSE(got[0].has_header("X-Not-There"));
    EXPECT_TRUE(got[0].body == body) << "body changed, " << got[0].body.size() << " bytes of " << body.size();
    EXPECT_EQ(got[1].header("Subject"), "second");
    EXPECT_EQ(got[1].header("Envelope-to"), "other@example.net");
    EXPECT_EQ(got[1].body, "second body\n");

    // Delivered and gone: nothing waits in the spool for a queue runner.
    EXPECT_TRUE(tvx_test::list_dir(tmp / "exim/spool/input").empty());
    EXPECT_EQ(mta.panic_log(), "");
}

TEST(MtaFixture, ReportsWhyWhenEximIsMissing)
{
    temp_dir tmp;
    mta_fixture mta(tmp.path(), tmp / "no-such-exim");
    EXPECT_FALSE(mta.usable());
    EXPECT_NE(mta.why_not().find("not installed"), std::string::npos) << mta.why_not();
}

}  // namespace
