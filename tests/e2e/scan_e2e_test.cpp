// tavex-icapd with tavexd behind it, both real programs, driven by an ICAP
// client: the virus-record total in the ISTAG, and what scanned messages
// become on the way back.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "support/support.h"
#include "support/tavexd_process.h"
#include "tavexd/tvd_eicar.h"

namespace {

using tvx_test::daemon_process;
using tvx_test::icap_conn;
using tvx_test::icap_reply;
using tvx_test::tavexd_process;

const char options_request[] = "OPTIONS icap://127.0.0.1/avscan ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

bool options(int port, icap_reply &reply)
{
    icap_conn c;
    return c.connect(port) && c.send(options_request) && c.read_reply(reply);
}

TEST(scan_e2e, IstagShowsTheDaemonsBaseTotal)
{
    tavexd_process scanner;
    ASSERT_TRUE(scanner.start({"--bases", "main.avc=100000,daily.avc=23456"}));
    daemon_process icapd;
    ASSERT_TRUE(icapd.start("LogLevel = 35\nTavexAddress = " + scanner.local_address() + "\n"));
    // Start-up asked for the count and closed its connection again.
    EXPECT_TRUE(icapd.wait_log("tvx_get_virus_num: loaded virus base daily.avc with 23456 viruses\n"));
    EXPECT_TRUE(icapd.wait_log("Closing fd "));

    icap_reply reply;
    ASSERT_TRUE(options(icapd.port(), reply));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.fields["istag"], "\"tavex-icapd6.0=123456\"");

    // The count follows the daemon: a new one with other bases is asked on
    // the next OPTIONS request.
    scanner.stop();
    tavexd_process other;
    ASSERT_TRUE(other.start({"--bases", "only.avc=42"}));
    icapd.rewrite_config("LogLevel = 35\nTavexAddress = " + other.pid_address() + "\n");
    ASSERT_EQ(kill(icapd.pid(), SIGHUP), 0);
    ASSERT_TRUE(icapd.wait_log("tvx_get_virus_num: loaded virus base only.avc with 42 viruses\n"));
    ASSERT_TRUE(options(icapd.port(), reply));
    EXPECT_EQ(reply.fields["istag"], "\"tavex-icapd6.0=42\"");
    EXPECT_EQ(icapd.stop(), 0);
}

TEST(scan_e2e, IstagWithoutAScanningDaemon)
{
    daemon_process icapd;
    ASSERT_TRUE(icapd.start());
    EXPECT_TRUE(icapd.wait_log("Virus check disabled\n"));
    icap_reply reply;
    ASSERT_TRUE(options(icapd.port(), reply));
    EXPECT_EQ(reply.fields["istag"], "\"tavex-icapd6.0=0\"");
    EXPECT_EQ(icapd.stop(), 0);
}

// tavex-icapd with tavexd behind it; RESPMOD requests for one download.
class scan_flow : public ::testing::Test {
protected:
    tavexd_process scanner;
    daemon_process icapd;
    icap_conn conn;
    const std::string req_hdr = "GET /dl/eicar.com HTTP/1.1\r\nHost: example.com\r\n\r\n";

    void start(const std::string &extra, const std::string &address = "",
               const std::vector<std::string> &scanner_args = {})
    {
        std::vector<std::string> args = {"--info", "tavexd test"};
        args.insert(args.end(), scanner_args.begin(), scanner_args.end());
        ASSERT_TRUE(scanner.start(args)) << scanner.stderr_text();
        std::string a = address.empty() ? scanner.local_address() : address;
        ASSERT_TRUE(icapd.start("TavexAddress = " + a + "\n" + extra)) << icapd.stderr_text();
        ASSERT_TRUE(conn.connect(icapd.port()));
    }
    static std::string res_hdr(size_t length)
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
               std::to_string(length) + "\r\nX-Origin: kept\r\n\r\n";
    }
    // Sends a RESPMOD with the whole body and reads the reply.
    bool respmod(const std::string &body, icap_reply &reply, const std::string &fields = "",
                 icap_conn *via = nullptr)
    {
        icap_conn &c = via ? *via : conn;
        std::string hdr = res_hdr(body.size());
        std::string port = std::to_string(icapd.port());
        std::string msg = "RESPMOD icap://127.0.0.1:" + port + "/av ICAP/1.0\r\nHost: 127.0.0.1:" + port + "\r\n" +
                          fields + "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req_hdr.size()) +
                          ", res-body=" + std::to_string(req_hdr.size() + hdr.size()) + "\r\n\r\n" + req_hdr + hdr +
                          tvx_test::chunked(body);
        return c.send(msg) && c.read_reply(reply);
    }
    // An empty body: 204 where allowed, else the message back unchanged.
    void expect_empty_body_clean()
    {
        icap_reply r;
        ASSERT_TRUE(respmod("", r, "Allow: 204\r\n"));
        EXPECT_EQ(r.status, 204);
        ASSERT_TRUE(respmod("", r));
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.http_header, res_hdr(0));
        EXPECT_TRUE(r.has_body);
        EXPECT_EQ(r.body, "");
        EXPECT_TRUE(icapd.wait_log("tvx_scan_file:file is empty, skip\n"));
        EXPECT_TRUE(cache_empties());
    }
    bool cache_empties() const
    {
        for (int i = 0; i < 500; ++i) {
            if (tvx_test::list_dir(icapd.cache_dir()).empty())
                return true;
            usleep(10000);
        }
        return false;
    }
    // The reply replaced the message by a page: a report header that
    // announces the page's size.
    static void expect_page(const icap_reply &r, const std::string &title)
    {
        EXPECT_EQ(r.encapsulated, "res-hdr=0, res-body=" + std::to_string(r.http_header.size()));
        EXPECT_NE(r.http_header.find("Content-Length: " + std::to_string(r.body.size()) + "\r\n"),
                  std::string::npos)
            << r.http_header;
        EXPECT_NE(r.body.find("<title>" + title + "</title>"), std::string::npos) << r.body;
    }
};

TEST_F(scan_flow, InfectedBodyGetsTheAccessDeniedPageWithThreatHeaders)
{
    start("Infected = report\n");
    icap_reply r;
    ASSERT_TRUE(respmod("<html>" + tvd_eicar() + "</html>", r, "Allow: 204\r\nX-Client-IP: 10.0.0.5\r\n"));
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.raw_head.find("\r\nX-Virus-ID: EICAR-Test-File\r\n"), std::string::npos) << r.raw_head;
    EXPECT_NE(r.raw_head.find("\r\nX-Infection-Found: Type=0; Resolution=0; Threat=EICAR-Test-File;\r\n"),
              std::string::npos);
    EXPECT_NE(r.raw_head.find("\r\nX-Violations-Found: 1\r\n\teicar.com\r\n\tEICAR-Test-File\r\n\t20\r\n\t0\r\n"),
              std::string::npos);
    EXPECT_EQ(r.fields["x-response-info"], "Report");
    expect_page(r, "Access denied: a threat was found");
    EXPECT_NE(r.body.find("infected with EICAR-Test-File"), std::string::npos);
    EXPECT_NE(r.body.find("scanner tavexd test"), std::string::npos);
    EXPECT_EQ(r.body.find(tvd_eicar()), std::string::npos);
    EXPECT_TRUE(icapd.wait_log("url:[example.com/dl/eicar.com], client_ip:[10.0.0.5], code=0x20, size=1k, "
                               "viruses:[EICAR-Test-File]\n"));
    EXPECT_TRUE(icapd.wait_log("File is infected and cannot be cured!: report\n"));
    EXPECT_TRUE(cache_empties());
}

TEST_F(scan_flow, CuredBodyIsPassedWithItsNewLengthAndTheNextScanReconnects)
{
    start("LocalScan = no\n");
    std::string infected = "before " + tvd_eicar() + " after";
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        icap_reply r;
        ASSERT_TRUE(respmod(infected, r));
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "before  after");
        EXPECT_EQ(r.http_header, res_hdr(13));
        EXPECT_EQ(r.fields["x-response-info"], "Cure");
        EXPECT_EQ(r.fields["x-infection-found"], "Type=0; Resolution=1; Threat=EICAR-Test-File;");
    }
    // A clean body on the same connection after the cure.
    icap_reply r;
    ASSERT_TRUE(respmod("clean", r));
    EXPECT_EQ(r.body, "clean");
    EXPECT_EQ(r.fields.count("x-response-info"), 0u);
    EXPECT_EQ(icapd.log().find("Daemon error"), std::string::npos) << icapd.log();
    EXPECT_TRUE(cache_empties());
}

TEST_F(scan_flow, MoveLeavesTheFileInQuarantine)
{
    start("Infected = move\n");
    std::string infected = "payload " + tvd_eicar();
    icap_reply r;
    ASSERT_TRUE(respmod(infected, r));
    EXPECT_EQ(r.fields["x-response-info"], "Move");
    expect_page(r, "Access denied: the file was quarantined");
    std::string q = icapd.dir() / "quarantine/example.com|dl|eicar.com";
    EXPECT_NE(r.body.find("<code>example.com|dl|eicar.com</code>"), std::string::npos);
    EXPECT_EQ(tvx_test::read_file(q), infected);
    struct stat st;
    ASSERT_EQ(stat(q.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_TRUE(icapd.wait_log("File is infected and cannot be cured!: quarantine to file " + q + "\n"));
    EXPECT_TRUE(cache_empties());
}

TEST_F(scan_flow, ScanningDaemonDownGivesTheFailedCheckPage)
{
    start("", "local:/nonexistent/tavexd.sock");
    icap_reply r;
    ASSERT_TRUE(respmod("anything", r, "Allow: 204\r\n"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.fields["x-response-info"], "Report");
    expect_page(r, "The content could not be checked");
    EXPECT_NE(r.body.find("Communication error with Tavex (R) daemon"), std::string::npos);
    EXPECT_NE(r.body.find("scanner unknown"), std::string::npos);
    EXPECT_TRUE(icapd.wait_log("Daemon error has occured during check of this file!: report\n"));
    EXPECT_TRUE(cache_empties());
}

TEST_F(scan_flow, CleanBodyWithAllow204Gets204)
{
    start("");
    icap_reply r;
    ASSERT_TRUE(respmod(std::string(70000, 'c'), r, "Allow: 204\r\n"));
    EXPECT_EQ(r.status, 204);
    EXPECT_EQ(r.raw, "ICAP/1.0 204 No Content\r\nISTAG: \"tavex-icapd6.0=120000\"\r\n\r\n");
    EXPECT_TRUE(cache_empties());
}

// The scan passes an empty body without asking the daemon, so the body
// never needs a temp file, even with the daemon down.
TEST_F(scan_flow, EmptyBodyIsCleanWithoutATempFile)
{
    start("LogLevel = 3\n");
    expect_empty_body_clean();
}

// With the scanning daemon serving one connection at a time, an ICAP
// connection that went idle after its scan gives the daemon connection
// back, so that a download on another connection is scanned.
TEST_F(scan_flow, IdleConnectionGivesItsScanningDaemonConnectionBack)
{
    start("LogLevel = 3\nTimeout = 3\n", "", {"--max-children", "1"});
    icap_reply r;
    ASSERT_TRUE(icapd.wait_log("Start Tavex"));
    const size_t closed = tvx_test::count_of(icapd.log(), "Closing fd ");
    ASSERT_TRUE(respmod("first download", r));
    EXPECT_EQ(r.body, "first download");
    // The first connection stays open and idle.
    ASSERT_TRUE(tvx_test::eventually([&] { return tvx_test::count_of(icapd.log(), "Closing fd ") == closed + 1; },
                                     15000))
        << icapd.log();

    icap_conn other;
    ASSERT_TRUE(other.connect(icapd.port()));
    ASSERT_TRUE(respmod("second download", r, "", &other));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "second download");
    EXPECT_EQ(tvx_test::count_of(icapd.log(), "Daemon error has occured"), 0u) << icapd.log();
}

TEST_F(scan_flow, EmptyBodyIsCleanWithTheScanningDaemonDown)
{
    start("LogLevel = 3\n", "local:/nonexistent/tavexd.sock");
    expect_empty_body_clean();
}

}  // namespace
