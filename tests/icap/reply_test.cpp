// ICAP reply heads compared byte for byte as they arrive at the client,
// and the threat headers built from crafted scan reports.
#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "icap/reply.h"
#include "icap/x_headers.h"
#include "io/io.h"
#include "request/request.h"
#include "scan/scan_state.h"
#include "scan/tvx_connect.h"
#include "support/log_capture.h"
#include "support/tavexd_process.h"

namespace {

const char *const temp_path = "/var/tavex/cache/res-body4711-q3ZkP0";

class Reply : public ::testing::Test {
protected:
    int fd = -1;
    int peer = -1;
    void SetUp() override
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        fd = sv[0];
        peer = sv[1];
        icap_request_reset(g_request);
        g_config = icapd_config();
        g_tvx.virus_total = 0;
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        if (peer >= 0)
            close(peer);
        icap_request_reset(g_request);
        g_config = icapd_config();
        g_tvx.virus_total = 0;
    }
    // Everything the client has received so far.
    std::string received()
    {
        std::string all;
        char buf[65536];
        ssize_t n;
        while ((n = recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            all.append(buf, static_cast<size_t>(n));
        return all;
    }
    // A request with threats, as the scanner leaves it.
    void infected(const char *url, std::initializer_list<const char *> names)
    {
        snprintf(g_request.url, sizeof g_request.url, "%s", url);
        snprintf(g_request.reply_encapsulated, sizeof g_request.reply_encapsulated, "res-hdr=0, res-body=180");
        g_request.scanned_path = temp_path;
        for (const char *n : names)
            g_request.viruses_list.push_back({n, 1});
        g_request.infection_type = 2;
        g_request.infection_resolution = 0;
    }
    std::string head200()
    {
        std::string h;
        EXPECT_EQ(icap_compose_200_head(g_request, h), 200);
        return h;
    }
};

TEST_F(Reply, Options)
{
    const std::string service = "ICAP/1.0 200 OK\r\nMethods: RESPMOD, OPTIONS, REQMOD\r\n"
                                "X-Include: X-Client-IP\r\nService: Tavex (R) icapd 6.0\r\n";
    const std::string preview = "Allow: 204\r\nPreview: 0\r\nTransfer-Preview: *\r\n";
    const std::string tail = "Options-TTL: 3600\r\nEncapsulated: null-body=0\r\nISTAG: \"tavex-icapd6.0=120000\"\r\n\r\n";
    struct { bool keepalive, use_preview; std::string want; } cases[] = {
        {true, true, service + preview + tail},
        {true, false, service + tail},
        {false, true, service + "Connection: close\r\n" + preview + tail},
        {false, false, service + "Connection: close\r\n" + tail},
    };
    g_tvx.virus_total = 120000;
    for (auto &c : cases) {
        g_config.KeepAlive = c.keepalive;
        g_config.UsePreview = c.use_preview;
        EXPECT_EQ(icap_send_options(fd), 200);
        EXPECT_EQ(received(), c.want) << c.keepalive << c.use_preview;
    }
}

TEST_F(Reply, ErrorReplies)
{
    const std::string istag = "\r\nISTAG: \"tavex-icapd6.0=0\"\r\n\r\n";
    struct { int code; bool keepalive; std::string want; } cases[] = {
        {400, true, "ICAP/1.0 400 Bad Request\r\nEncapsulated: null-body=0" + istag},
        {400, false, "ICAP/1.0 400 Bad Request\r\nEncapsulated: null-body=0\r\nConnection: close" + istag},
        {500, true, "ICAP/1.0 500 Server Error\r\nEncapsulated: null-body=0" + istag},
        {0, false, "ICAP/1.0 200 OK\r\nEncapsulated: null-body=0\r\nConnection: close" + istag},
    };
    for (auto &c : cases) {
        g_config.KeepAlive = c.keepalive;
        send_error_msg(fd, c.code);
        EXPECT_EQ(received(), c.want) << c.code;
    }
    int closed = -1;
    send_error_msg(closed, 400);  // nothing to send to, nothing to fail
    EXPECT_EQ(closed, -1);
}

TEST_F(Reply, ErrorReplyToVanishedClientIsLogged)
{
    log_capture log(1);
    close(peer);
    peer = -1;
    send_error_msg(fd, 400);
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(log.has("Error in send_error_msg()\n"));
}

TEST_F(Reply, NoContentAndContinue)
{
    g_config.KeepAlive = false;  // 204 never carries Connection
    g_tvx.virus_total = 7;
    EXPECT_EQ(icap_send_204(fd), 200);
    EXPECT_EQ(received(), "ICAP/1.0 204 No Content\r\nISTAG: \"tavex-icapd6.0=7\"\r\n\r\n");
    EXPECT_EQ(icap_send_continue(fd), 200);
    EXPECT_EQ(received(), "ICAP/1.0 100 Continue\r\nISTAG: \"tavex-icapd6.0=7\"\r\n\r\n");
}

TEST_F(Reply, PlainAndReportHeads)
{
    snprintf(g_request.reply_encapsulated, sizeof g_request.reply_encapsulated, "res-hdr=0, res-body=123");
    EXPECT_EQ(icap_send_200_head(fd, g_request), 200);
    EXPECT_EQ(received(), "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=123\r\n"
                          "ISTAG: \"tavex-icapd6.0=0\"\r\n\r\n");

    g_config.KeepAlive = false;
    g_request.action_name = "Report";
    g_request.response_desc = "url was blocked by administrator";
    EXPECT_EQ(icap_send_200_head(fd, g_request), 200);
    EXPECT_EQ(received(), "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=123\r\nConnection: close\r\n"
                          "X-Response-Info: Report\r\nX-Response-Desc: url was blocked by administrator\r\n"
                          "ISTAG: \"tavex-icapd6.0=0\"\r\n\r\n");
}

TEST_F(Reply, ThreatHeadersFromReportLines)
{
    infected("http://example.com/a/b.zip", {"EICAR-Test-File", "Macro.Generic"});
    g_request.action_name = "Report";
    std::string t = temp_path;
    g_request.greport = {
        t + "/inner/x.exe infected with EICAR-Test-File",  // row 4
        t + " - Ok",                                         // no violation
        t + "/y.doc probably infected with Macro.Generic",  // row 2, never row 4
        t + "/z.zip - header CRC error! (block 3)",          // row 20, not row 21
        t + "/z.zip - cured! ",                              // empty threat: replaces the row
        "no slash here infected with Other",                 // no file position: skipped
        "archive bomb: nesting limit! depth 10",             // no file: the URL name alone
        t + "/w.txt - password protected, skipped",          // nothing after the phrase
        " - infected with Lead",                             // separator at the start
    };
    EXPECT_EQ(icap_send_200_head(fd, g_request), 200);
    EXPECT_EQ(received(),
              "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=180"
              "\r\nX-Virus-ID: EICAR-Test-File, Macro.Generic"
              "\r\nX-Infection-Found: Type=2; Resolution=0; Threat=EICAR-Test-File, Macro.Generic;"
              "\r\nX-Violations-Found: 4"
              "\r\n\tb.zip\r\n\tdepth 10\r\n\t40000\r\n\t2"
              "\r\n\tb.zip/z.zip\r\n\t(block 3)\r\n\t100\r\n\t1"
              "\r\n\tb.zip/y.doc\r\n\tMacro.Generic\r\n\t40\r\n\t0"
              "\r\n\tb.zip/inner/x.exe\r\n\tEICAR-Test-File\r\n\t20\r\n\t0"
              "\r\nX-Response-Info: Report"
              "\r\nISTAG: \"tavex-icapd6.0=0\"\r\n\r\n");
}

TEST_F(Reply, RecordFileNames)
{
    struct { const char *url; std::string line; const char *file; const char *threat; } cases[] = {
        {"http://h/a/b.zip", std::string(temp_path) + " infected with X", "b.zip", "X"},
        {"http://h/dir/", std::string(temp_path) + "/f infected with X", "http://h/dir//f", "X"},
        {"nohost", "/other/f infected with  X  ", "nohost/other/f", "X"},
        {"", std::string(temp_path) + " infected with X", "-", "X"},
        {"http://h/a", "infected with Y at start", "a", "Y at start"},
        {"http://h/a", "/p/q - cannot open file with error: Permission denied", "a/p/q", "Permission denied"},
    };
    for (auto &c : cases) {
        icap_request_reset(g_request);
        infected(c.url, {"X"});
        g_request.greport = {c.line};
        std::string want = std::string("\r\nX-Violations-Found: 1\r\n\t") + c.file + "\r\n\t" + c.threat + "\r\n\t";
        EXPECT_NE(head200().find(want), std::string::npos) << c.line << "\n" << head200();
    }
}

TEST_F(Reply, ThreatListIsCutAfterEightyCharacters)
{
    infected("http://h/x", {});
    for (int i = 0; i < 10; ++i)
        g_request.viruses_list.push_back({std::string(19, static_cast<char>('a' + i)) + "!", 1});
    std::string list = std::string(19, 'a') + "!, " + std::string(19, 'b') + "!, " + std::string(19, 'c') + "!, " +
                       std::string(19, 'd') + "!, ...";
    std::string h = head200();
    EXPECT_NE(h.find("\r\nX-Virus-ID: " + list + "\r\n"), std::string::npos) << h;
    EXPECT_NE(h.find("; Threat=" + list + ";\r\n"), std::string::npos) << h;
}

TEST_F(Reply, PeerTextCannotAddHeaderLines)
{
    infected("http://h/x", {"Evil\r\nX-Injected: 1"});
    g_request.greport = {std::string(temp_path) + "/f infected with Bad\r\nX-Injected: 2"};
    std::string h = head200();
    EXPECT_EQ(h.find("\r\nX-Injected"), std::string::npos) << h;
    EXPECT_NE(h.find("X-Virus-ID: Evil  X-Injected: 1"), std::string::npos) << h;
}

TEST_F(Reply, ManyRecordsGrowTheHead)
{
    infected("http://h/big.tar", {"X"});
    const int n = 400;
    std::string records;
    for (int i = 0; i < n; ++i) {
        std::string name = "/member" + std::to_string(i) + ".exe";
        g_request.greport.push_back(temp_path + name + " infected with Worm.Variant." + std::to_string(i));
        records = "\r\n\tbig.tar" + name + "\r\n\tWorm.Variant." + std::to_string(i) + "\r\n\t20\r\n\t0" + records;
    }
    EXPECT_EQ(icap_send_200_head(fd, g_request), 200);
    std::string got;
    while (got.size() < 10000 || got.find("\r\n\r\n") == std::string::npos) {
        std::string more = received();
        ASSERT_FALSE(more.empty());
        got += more;
    }
    EXPECT_GT(got.size(), 10000u);
    EXPECT_EQ(got, "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=180\r\nX-Virus-ID: X"
                   "\r\nX-Infection-Found: Type=2; Resolution=0; Threat=X;\r\nX-Violations-Found: 400" +
                       records + "\r\nISTAG: \"tavex-icapd6.0=0\"\r\n\r\n");
}

TEST_F(Reply, TableRowsAsPrinted)
{
    struct { size_t row; const char *phrase; unsigned flags; unsigned problem; int resolution; } rows[] = {
        {0, " - ", 4, 0x0, 0},
        {2, "probably infected with", 72, 0x40, 0},
        {4, "infected with", 66, 0x20, 0},
        {20, "header CRC error!", 32, 0x8, 0},
        {21, "CRC error!", 16, 0x8, 2},
        {22, "decompression error!", 0, 0x8017, 2},
        {36, "unknown file type, skipped", 0, 0x4, 0},
    };
    for (auto &r : rows) {
        EXPECT_STREQ(violation_table[r.row].phrase, r.phrase);
        EXPECT_EQ(violation_table[r.row].flags, r.flags) << r.phrase;
        EXPECT_EQ(violation_table[r.row].problem, r.problem) << r.phrase;
        EXPECT_EQ(violation_table[r.row].resolution, r.resolution) << r.phrase;
    }
}

}  // namespace

namespace {

// The OPTIONS reply asks the scanning daemon for its bases, over this
// process's daemon connection, and shows the total in the ISTAG.
TEST_F(Reply, OptionsRefreshTheVirusTotalFromTheDaemon)
{
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start({"--bases", "a.avc=1000,b.avc=234"}));
    DaemonAddress a;
    a.type = DAEMON_ADDR_LOCAL;
    a.host = d.socket_path();
    g_config.tavex_addresses = {a};
    EXPECT_EQ(icap_send_options(fd), 200);
    EXPECT_NE(received().find("\r\nISTAG: \"tavex-icapd6.0=1234\"\r\n\r\n"), std::string::npos);
    EXPECT_GE(g_tvx.daemon_fd, 0) << "the connection is kept for the next command";
    int kept = g_tvx.daemon_fd;

    // The daemon gone: the count stays, the reply still goes out.
    d.stop();
    EXPECT_EQ(icap_send_options(fd), 200);
    EXPECT_NE(received().find("=1234\""), std::string::npos);
    EXPECT_NE(g_tvx.daemon_fd, kept);
    close_fd(g_tvx.daemon_fd);
}

}  // namespace
