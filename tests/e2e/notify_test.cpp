// E-mail notifications through the real daemon: after URL blocks and after
// actions on scanned bodies, one message per object per MailCache seconds,
// and mailers that fail or hang, which never change the reply.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "support/mail_capture.h"
#include "support/mta_fixture.h"
#include "support/support.h"
#include "support/tavexd_process.h"
#include "support/ucf_fixture.h"
#include "tavexd/tvd_eicar.h"

using namespace tvx_test;

namespace {

class notify : public ::testing::Test {
protected:
    tavexd_process scanner;
    daemon_process icapd;
    temp_dir scratch;
    mail_capture mail{scratch / "mail"};

    void start(const std::string &extra, mail_capture::mode m = mail_capture::mode::store)
    {
        start_with(extra, mail.command(m));
    }
    void start_with(const std::string &extra, const std::string &mail_command)
    {
        write_file(scratch / "black.txt", "bad.example\n");
        ASSERT_TRUE(scanner.start()) << scanner.stderr_text();
        ASSERT_TRUE(icapd.start("LogLevel = 3\nTavexAddress = " + scanner.local_address() +
                                "\nHostmaster = admin@example.org\nMailCommand = \"" + mail_command +
                                "\"\nBlackHosts = \"" + scratch / "black.txt" + "\"\n" + extra))
            << icapd.stderr_text();
    }
    std::string head(const std::string &method, const std::string &fields, const std::string &enc) const
    {
        std::string port = std::to_string(icapd.port());
        return method + " icap://127.0.0.1:" + port + "/av ICAP/1.0\r\nHost: 127.0.0.1:" + port + "\r\n" + fields +
               "Encapsulated: " + enc + "\r\n\r\n";
    }
    bool reqmod(const std::string &host, icap_reply &r)
    {
        icap_conn c;
        std::string h = "GET /x HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
        return c.connect(icapd.port()) &&
               c.send(head("REQMOD", "X-Client-IP: 10.0.0.9\r\n", "req-hdr=0, null-body=" + std::to_string(h.size())) +
                      h) &&
               c.read_reply(r);
    }
    bool respmod(const std::string &body, icap_reply &r)
    {
        icap_conn c;
        std::string rq = "GET /dl/eicar.com HTTP/1.1\r\nHost: files.example\r\n\r\n";
        std::string hdr = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n";
        return c.connect(icapd.port()) &&
               c.send(head("RESPMOD", "", "req-hdr=0, res-hdr=" + std::to_string(rq.size()) +
                                              ", res-body=" + std::to_string(rq.size() + hdr.size())) +
                      rq + hdr + chunked(body)) &&
               c.read_reply(r);
    }
};

}  // namespace

TEST_F(notify, a_blocked_url_mails_once_per_mail_cache_seconds)
{
    const std::string ucf = icapd.dir() / "ucf";
    mkdir(ucf.c_str(), 0700);
    ucf_compile(ucf + "/porno.ucf", "porno", "porno.example/adult/\n");
    start("SendMailUcfBlock = yes\nMailCache = 60\n");
    icap_reply r;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(reqmod("bad.example", r));
        EXPECT_EQ(r.fields["x-response-info"], "Report");
    }
    ASSERT_TRUE(mail.wait_messages(1));
    EXPECT_TRUE(icapd.wait_log(" exist: skip email sending\n"));
    std::vector<captured_mail> m = mail.messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].recipient(), "admin@example.org");
    EXPECT_NE(m[0].data.find("To: admin@example.org\n"), std::string::npos) << m[0].data;
    EXPECT_NE(m[0].data.find("in black list"), std::string::npos);
    EXPECT_NE(m[0].data.find("Content blocked"), std::string::npos);
    EXPECT_NE(m[0].data.find("10.0.0.9"), std::string::npos);
    EXPECT_NE(m[0].data.find("<title>Access to this address is blocked</title>"), std::string::npos);

    // A category block is locked under the text the category file matched.
    {
        icap_conn c;
        std::string h = "GET /adult/a.html HTTP/1.1\r\nHost: porno.example\r\n\r\n";
        ASSERT_TRUE(c.connect(icapd.port()));
        ASSERT_TRUE(c.send(head("REQMOD", "", "req-hdr=0, null-body=" + std::to_string(h.size())) + h));
        ASSERT_TRUE(c.read_reply(r));
    }
    ASSERT_TRUE(mail.wait_messages(2));
    EXPECT_TRUE(file_exists(icapd.cache_dir() + "/lock.porno.example|adult|"));
}

TEST_F(notify, mail_cache_0_mails_every_block_and_keeps_no_lock)
{
    start("SendMailUcfBlock = yes\nMailCache = 0\n");
    icap_reply r;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(reqmod("bad.example", r));
    EXPECT_TRUE(mail.wait_messages(3));
    for (const std::string &f : list_dir(icapd.cache_dir()))
        EXPECT_NE(f.substr(0, 5), "lock.") << f;
}

TEST_F(notify, an_action_on_an_infected_body_mails_its_page)
{
    start("SendMail = yes\nMailCache = 0\nInfected = report\nIncurable = report\n");
    icap_reply r;
    ASSERT_TRUE(respmod("<html>" + tvd_eicar() + "</html>", r));
    EXPECT_NE(r.raw_head.find("X-Infection-Found"), std::string::npos);
    ASSERT_TRUE(mail.wait_messages(1));
    std::string data = mail.messages()[0].data;
    EXPECT_NE(data.find("files.example/dl/eicar.com"), std::string::npos) << data;
    EXPECT_NE(data.find("EICAR-Test-File"), std::string::npos) << data;
    // A clean body is no action and no message.
    ASSERT_TRUE(respmod("clean", r));
    EXPECT_EQ(mail.count(), 1u);
}

TEST_F(notify, a_mailer_that_fails_or_hangs_never_changes_the_reply)
{
    for (auto m : {mail_capture::mode::fail, mail_capture::mode::hang, mail_capture::mode::no_read}) {
        SCOPED_TRACE(static_cast<int>(m));
        start("SendMailUcfBlock = yes\nMailCache = 0\nTimeout = 2\n", m);
        icap_reply r;
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(reqmod("bad.example", r));
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(r.fields["x-response-info"], "Report");
        EXPECT_NE(r.body.find("Access to this address is blocked"), std::string::npos);
        EXPECT_LT(s, 8.0);
        EXPECT_EQ(mail.count(), 0u);
        ASSERT_EQ(icapd.stop(), 0);
        scanner.stop();
    }
}

TEST_F(notify, a_real_mta_delivers_the_expanded_template)
{
    mta_fixture mta(scratch.path());
    if (!mta.usable()) {
        if (getenv("CI"))
            FAIL() << mta.why_not();
        GTEST_SKIP() << mta.why_not();
    }
    start_with("SendMailUcfBlock = yes\nMailCache = 0\n", mta.command());
    icap_reply r;
    ASSERT_TRUE(reqmod("bad.example", r));
    ASSERT_TRUE(mta.wait_messages(1)) << mta.main_log() << mta.panic_log();
    delivered_mail m = mta.messages()[0];
    EXPECT_EQ(m.header("To"), "admin@example.org");
    EXPECT_EQ(m.header("Subject"), "tavex-icapd: Content blocked - in black list");
    EXPECT_NE(m.header("Envelope-to").find("admin@example.org"), std::string::npos);
    // The body is the shipped template expanded: its table of values and
    // the block page embedded.
    EXPECT_NE(m.body.find("<h2 style=\"margin: 0 0 1rem 0;\">tavex-icapd: Content blocked</h2>"), std::string::npos)
        << m.body;
    EXPECT_NE(m.body.find("<td>in black list</td>"), std::string::npos);
    EXPECT_NE(m.body.find("<td>10.0.0.9</td>"), std::string::npos);
    EXPECT_NE(m.body.find("<title>Access to this address is blocked</title>"), std::string::npos);
    EXPECT_EQ(m.body.find('$'), std::string::npos) << "a macro left unexpanded";
}
