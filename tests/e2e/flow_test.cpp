// REQMOD and RESPMOD through the real daemon: what Squid sends, an
// independent ICAP client, the shipped block page, stalled and vanished
// clients, hostile messages, and temp files gone after every request.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "config/icapd_config.h"
#include "daemon/signals.h"
#include "icap/flow_messages.h"
#include "icap/handle.h"
#include "icap/request_head.h"
#include "io/io.h"
#include "request/request.h"
#include "support/support.h"
#include "support/tavexd_process.h"

using namespace tvx_test;
using namespace flow_test;

namespace {

const std::string get_hdr = "GET /files/f.bin HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n";

std::string res_hdr_for(size_t length)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(length) + "\r\n\r\n";
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 4093) & 0xff);
    return s;
}

// The ISTAG while tavexd (default bases, 120000 records) is behind the daemon.
const std::string scanner_istag = "\r\nISTAG: \"tavex-icapd6.0=120000\"\r\n\r\n";

std::string echo_respmod(const std::string &res_hdr, const std::string &body, const std::string &tag = istag)
{
    return "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + std::to_string(res_hdr.size()) + tag +
           res_hdr + rechunked(body);
}

// Chunks of uneven sizes, as a proxy forwards what it reads.
std::string uneven_chunks(const std::string &data, bool ieof = false)
{
    static const size_t sizes[] = {4096, 12345, 1, 65536, 777};
    std::string out;
    char line[32];
    size_t i = 0;
    for (size_t pos = 0; pos < data.size(); pos += sizes[i++ % 5]) {
        size_t n = std::min(sizes[i % 5], data.size() - pos);
        snprintf(line, sizeof line, "%zx\r\n", n);
        out += line + data.substr(pos, n) + "\r\n";
    }
    return out + (ieof ? "0; ieof\r\n\r\n" : "0\r\n\r\n");
}

class FlowDaemon : public ::testing::Test {
protected:
    daemon_process d;
    tavexd_process scanner;

    void start(std::string extra, bool with_scanner)
    {
        if (with_scanner) {
            ASSERT_TRUE(scanner.start()) << scanner.stderr_text();
            extra += "TavexAddress = " + scanner.local_address() + "\n";
        }
        ASSERT_TRUE(d.start(extra)) << d.stderr_text();
    }
    // True when Cache holds no temp file within a few seconds.
    bool cache_empties()
    {
        for (int i = 0; i < 500; ++i) {
            if (list_dir(d.cache_dir()).empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::string head(const std::string &method, const std::string &fields, const std::string &encapsulated)
    {
        return method + " icap://127.0.0.1:" + std::to_string(d.port()) + "/av ICAP/1.0\r\nHost: 127.0.0.1:" +
               std::to_string(d.port()) + "\r\nDate: Thu, 10 Dec 2026 01:00:00 GMT\r\n" + fields +
               "Encapsulated: " + encapsulated + "\r\n\r\n";
    }
};

TEST_F(FlowDaemon, WhatSquidSends)
{
    start("", true);
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    const std::string squid = "Allow: 204, trailers\r\nX-Client-IP: 10.1.2.3\r\n";
    icap_reply r;
    const std::string reply_204 = "ICAP/1.0 204 No Content" + scanner_istag;
    const std::string continue_100 = "ICAP/1.0 100 Continue" + scanner_istag;

    // REQMOD for a GET: the request header comes back unchanged.
    ASSERT_TRUE(c.send(head("REQMOD", "Preview: 0\r\n" + squid,
                            "req-hdr=0, null-body=" + std::to_string(get_hdr.size())) +
                       get_hdr));
    ASSERT_TRUE(c.read_reply(r));
    EXPECT_EQ(r.raw, "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=" + std::to_string(get_hdr.size()) +
                         scanner_istag + get_hdr);

    // RESPMOD of a small body: all of it in the preview, ending in ieof.
    std::string small = pattern(300);
    std::string hdr = res_hdr_for(small.size());
    std::string enc = "req-hdr=0, res-hdr=" + std::to_string(get_hdr.size()) +
                      ", res-body=" + std::to_string(get_hdr.size() + hdr.size());
    ASSERT_TRUE(c.send(head("RESPMOD", "Preview: 1024\r\n" + squid, enc) + get_hdr + hdr + uneven_chunks(small, true)));
    ASSERT_TRUE(c.read_reply(r));
    EXPECT_EQ(r.raw, reply_204);

    // RESPMOD of a large body: 1024 bytes of preview, "100 Continue", the
    // rest in chunks of any size; clean, so 204 where allowed and the whole
    // message back where not.
    for (bool allow : {true, false}) {
        SCOPED_TRACE(allow ? "Allow: 204" : "no Allow");
        std::string big = pattern(300000);
        hdr = res_hdr_for(big.size());
        enc = "req-hdr=0, res-hdr=" + std::to_string(get_hdr.size()) +
              ", res-body=" + std::to_string(get_hdr.size() + hdr.size());
        ASSERT_TRUE(c.send(head("RESPMOD", "Preview: 1024\r\n" + (allow ? squid : "X-Client-IP: 10.1.2.3\r\n"), enc) +
                           get_hdr + hdr + uneven_chunks(big.substr(0, 1024))));
        ASSERT_TRUE(c.read_reply(r));
        EXPECT_EQ(r.raw, continue_100);
        ASSERT_TRUE(c.send(uneven_chunks(big.substr(1024))));
        ASSERT_TRUE(c.read_reply(r));
        if (allow)
            EXPECT_EQ(r.raw, reply_204);
        else
            EXPECT_TRUE(r.raw == echo_respmod(hdr, big, scanner_istag)) << r.raw_head;
    }
    EXPECT_TRUE(cache_empties());
}

TEST_F(FlowDaemon, IndependentClientGetsItsFileBack)
{
    start("", true);
    temp_dir t;
    std::string in = t / "in.bin", out = t / "out.bin";
    write_file(in, pattern(1234567));
    std::string port = std::to_string(d.port());
    for (std::vector<std::string> extra : {std::vector<std::string>{"-no204"},
                                           std::vector<std::string>{"-no204", "-nopreview"}}) {
        std::vector<std::string> argv = {"/usr/bin/c-icap-client", "-i", "127.0.0.1", "-p", port, "-s", "av",
                                         "-f", in, "-o", out, "-resp", "http://example.com/in.bin"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        unlink(out.c_str());
        run_result res = run_program(argv);
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_TRUE(read_file(out) == read_file(in)) << extra.back();
    }
    // With 204 allowed, the clean file is not sent back at all.
    run_result res = run_program({"/usr/bin/c-icap-client", "-i", "127.0.0.1", "-p", port, "-s", "av", "-f", in,
                                  "-resp", "http://example.com/in.bin", "-v"});
    EXPECT_NE(res.err.find("ICAP/1.0 204 No Content"), std::string::npos) << res.err;
    EXPECT_TRUE(cache_empties());
}

TEST_F(FlowDaemon, ShippedBlockPage)
{
    start("BlockAll = yes\nHostmaster = \"admin@example.org\"\n", false);
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    std::string hdr = "GET /a?q=<b>&x=1 HTTP/1.1\r\nHost: example.com\r\n\r\n";
    ASSERT_TRUE(c.send(head("REQMOD", "Allow: 204\r\n", "req-hdr=0, null-body=" + std::to_string(hdr.size())) + hdr));
    icap_reply r;
    ASSERT_TRUE(c.read_reply(r));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.fields["x-response-info"], "Report");
    EXPECT_EQ(r.fields["x-response-desc"], "url was blocked by administrator");
    EXPECT_EQ(r.encapsulated, "res-hdr=0, res-body=" + std::to_string(r.http_header.size()));
    EXPECT_EQ(r.http_header, report_header(r.body.size()));
    EXPECT_NE(r.body.find("<title>Access to this address is blocked</title>"), std::string::npos);
    EXPECT_NE(r.body.find("example.com/a?q=&lt;b&gt;&amp;x=1"), std::string::npos);
    EXPECT_NE(r.body.find("mailto:admin@example.org"), std::string::npos);
    EXPECT_EQ(r.body.find("<b>"), std::string::npos);
    EXPECT_TRUE(cache_empties());
}

TEST_F(FlowDaemon, StalledClientIsEndedAndItsTempFileGoes)
{
    start("Timeout = 1\nLogLevel = 3\n", false);
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    std::string hdr = res_hdr_for(100000);
    ASSERT_TRUE(c.send(head("RESPMOD", "", "req-hdr=0, res-hdr=" + std::to_string(get_hdr.size()) +
                                               ", res-body=" + std::to_string(get_hdr.size() + hdr.size())) +
                       get_hdr + hdr + "186a0\r\n" + pattern(5000)));
    EXPECT_TRUE(c.wait_closed(10000));
    EXPECT_TRUE(d.wait_log("timeout error in ipc (timeout=1; url=example.com/files/f.bin)\n"));
    EXPECT_TRUE(cache_empties());
}

TEST_F(FlowDaemon, SlowClientThatKeepsSendingIsNotEndedByTheAlarm)
{
    // The alarm measures a stall: a body that takes three times Timeout
    // to arrive, a piece every 0.4 s, is received and echoed whole.
    start("Timeout = 1\n", false);
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    std::string body = pattern(8 * 1000);
    std::string hdr = res_hdr_for(body.size());
    std::string wire = chunked(body, 1000);
    ASSERT_TRUE(c.send(head("RESPMOD", "", "res-hdr=0, res-body=" + std::to_string(hdr.size())) + hdr));
    const size_t piece = wire.size() / 8 + 1;
    for (size_t pos = 0; pos < wire.size(); pos += piece) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        ASSERT_TRUE(c.send(wire.substr(pos, piece)));
    }
    icap_reply r;
    ASSERT_TRUE(c.read_reply(r));
    EXPECT_EQ(r.raw, echo_respmod(hdr, body));
    EXPECT_EQ(d.log().find("timeout error in ipc"), std::string::npos) << d.log();
    EXPECT_TRUE(cache_empties());
}

TEST_F(FlowDaemon, ClientThatStopsReadingTheReplyIsDropped)
{
    // The reply of a large echo fills the socket buffers of a client that
    // never reads it: the write waits Timeout seconds, then the connection
    // process gives up, closes the connection and removes its body file.
    // Timeout also bounds each wait for the body, which a loaded machine
    // (a sanitizer build) sends slowly: 3 seconds leave room for that.
    start("Timeout = 3\nLogLevel = 3\n", false);
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    std::string body = pattern(32 * 1024 * 1024);
    std::string hdr = res_hdr_for(body.size());
    ASSERT_TRUE(c.send(head("RESPMOD", "", "res-hdr=0, res-body=" + std::to_string(hdr.size())) + hdr +
                       chunked(body, 1024 * 1024)));
    EXPECT_TRUE(d.wait_log("write: timeout error (after 3 seconds)\n", 15000)) << d.log();
    EXPECT_TRUE(cache_empties());
}

TEST_F(FlowDaemon, EmptyBodyNeedsNoTempFile)
{
    // A Cache directory that went away after start-up takes no file: a
    // preview of nothing is still answered, a body with data is read to
    // its end and answered 500, and the connection serves on.
    start("", false);
    ASSERT_EQ(rename(d.cache_dir().c_str(), (d.dir() / "gone").c_str()), 0);
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    std::string hdr = res_hdr_for(5);
    std::string enc = "res-hdr=0, res-body=" + std::to_string(hdr.size());
    icap_reply r;
    ASSERT_TRUE(c.send(head("RESPMOD", "Preview: 0\r\nAllow: 204\r\n", enc) + hdr + "0\r\n\r\n"));
    ASSERT_TRUE(c.read_reply(r));
    EXPECT_EQ(r.raw, "ICAP/1.0 204 No Content" + istag);
    ASSERT_TRUE(c.send(head("RESPMOD", "", enc) + hdr + "0\r\n\r\n"));
    ASSERT_TRUE(c.read_reply(r));
    EXPECT_EQ(r.raw, echo_respmod(hdr, ""));

    ASSERT_TRUE(c.send(head("RESPMOD", "", enc) + hdr + chunked("12345")));
    ASSERT_TRUE(c.read_reply(r));
    EXPECT_EQ(r.raw, "ICAP/1.0 500 Server Error\r\nEncapsulated: null-body=0" + istag);
    EXPECT_TRUE(d.wait_log("creat_tmp_file: error in creating temp file "));
    ASSERT_TRUE(c.send(head("RESPMOD", "", enc) + hdr + "0\r\n\r\n"));
    ASSERT_TRUE(c.read_reply(r));
    EXPECT_EQ(r.raw, echo_respmod(hdr, ""));
}

TEST_F(FlowDaemon, VanishedClientLeavesNoTempFile)
{
    start("", false);
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    std::string hdr = res_hdr_for(100000);
    ASSERT_TRUE(c.send(head("RESPMOD", "", "res-hdr=0, res-body=" + std::to_string(hdr.size())) + hdr + "186a0\r\n" +
                       pattern(5000)));
    for (int i = 0; i < 500 && list_dir(d.cache_dir()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    c.close();
    EXPECT_TRUE(d.wait_log("error in reading http entity\n"));
    EXPECT_TRUE(cache_empties());
}

TEST_F(FlowDaemon, HostileMessageGets400AndTheDaemonServesOn)
{
    start("", false);
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    ASSERT_TRUE(c.send(head("RESPMOD", "", "res-hdr=0, res-body=1073741824") + "HTTP/1.1 200 OK\r\n\r\n"));
    icap_reply r;
    ASSERT_TRUE(c.read_reply(r));
    EXPECT_EQ(r.raw, reply_400);
    EXPECT_TRUE(c.wait_closed(5000));

    icap_conn c2;
    ASSERT_TRUE(c2.connect(d.port()));
    std::string body = "hello";
    std::string hdr = res_hdr_for(body.size());
    ASSERT_TRUE(c2.send(head("RESPMOD", "", "res-hdr=0, res-body=" + std::to_string(hdr.size())) + hdr +
                        chunked(body)));
    ASSERT_TRUE(c2.read_reply(r));
    EXPECT_EQ(r.raw, echo_respmod(hdr, body));
}

// The time-out of a stalled body ends the connection process with status
// 13, and the SIGALRM handler deletes the temp file it was writing.
TEST(FlowSignals, StallEndsTheProcessWithStatus13)
{
    temp_dir dir;
    std::string cache = dir.path() + "/cache/";
    mkdir(cache.c_str(), 0700);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(sv[1]);
        signals_install_alarm();
        signals_setup_connection();
        g_config.Cache = cache;
        g_config.Timeout = 1;
        io_set_timeout(1);
        icap_request_reset(g_request);
        int fd = sv[0];
        if (icap_read_request_head(fd) == 1)
            icap_handle(fd);
        _exit(0);
    }
    close(sv[0]);
    icap_conn c;
    c.adopt(sv[1]);
    std::string hdr = res_hdr_for(100000);
    ASSERT_TRUE(c.send("RESPMOD icap://x/av ICAP/1.0\r\nEncapsulated: res-hdr=0, res-body=" +
                       std::to_string(hdr.size()) + "\r\n\r\n" + hdr + "186a0\r\n" + pattern(5000)));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 13);
    EXPECT_TRUE(list_dir(cache).empty());
}

}  // namespace
