// Connection processes of the running daemon over real sockets: the OPTIONS
// reply, keep-alive and pipelined requests, idle and silent clients,
// oversized heads, and an independent ICAP client.
#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "support/support.h"

using namespace tvx_test;

namespace {

const char options_request[] = "OPTIONS icap://127.0.0.1/avscan ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

const char options_keepalive[] =
    "ICAP/1.0 200 OK\r\n"
    "Methods: RESPMOD, OPTIONS, REQMOD\r\n"
    "X-Include: X-Client-IP\r\n"
    "Service: Tavex (R) icapd 6.0\r\n"
    "Allow: 204\r\n"
    "Preview: 0\r\n"
    "Transfer-Preview: *\r\n"
    "Options-TTL: 3600\r\n"
    "Encapsulated: null-body=0\r\n"
    "ISTAG: \"tavex-icapd6.0=0\"\r\n"
    "\r\n";

const char options_close_no_preview[] =
    "ICAP/1.0 200 OK\r\n"
    "Methods: RESPMOD, OPTIONS, REQMOD\r\n"
    "X-Include: X-Client-IP\r\n"
    "Service: Tavex (R) icapd 6.0\r\n"
    "Connection: close\r\n"
    "Options-TTL: 3600\r\n"
    "Encapsulated: null-body=0\r\n"
    "ISTAG: \"tavex-icapd6.0=0\"\r\n"
    "\r\n";

const char trace_levels[] = "LogLevel = 35\n";

}  // namespace

TEST(connection, options_reply_is_byte_exact)
{
    struct {
        const char *config;
        const char *reply;
    } cases[] = {
        {"", options_keepalive},
        {"KeepAlive = no\nUsePreview = no\n", options_close_no_preview},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        daemon_process d;
        ASSERT_TRUE(d.start(c.config)) << d.stderr_text();
        icap_conn conn;
        ASSERT_TRUE(conn.connect(d.port()));
        ASSERT_TRUE(conn.send(options_request));
        icap_reply r;
        ASSERT_TRUE(conn.read_reply(r));
        EXPECT_EQ(r.raw, c.reply);
        EXPECT_EQ(d.stop(), 0);
    }
}

TEST(connection, keepalive_serves_many_requests_in_one_process)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(conn.send(options_request));
        icap_reply r;
        ASSERT_TRUE(conn.read_reply(r)) << "request " << i;
        ASSERT_EQ(r.raw, options_keepalive);
    }
    // The log line of the last request follows its reply.
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "Going for infinitely waiting") == 50; }));
    EXPECT_EQ(count_of(d.log(), "Start child process"), 1u);
    EXPECT_EQ(count_of(d.log(), "Request handled\n"), 50u);
}

TEST(connection, pipelined_requests_are_answered_without_an_idle_wait)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    ASSERT_TRUE(conn.send(std::string(options_request) + options_request + options_request));
    for (int i = 0; i < 3; ++i) {
        icap_reply r;
        ASSERT_TRUE(conn.read_reply(r)) << "reply " << i;
        EXPECT_EQ(r.raw, options_keepalive);
    }
    // Only after the third request does the process wait for more.
    ASSERT_TRUE(d.wait_log("Going for infinitely waiting"));
    EXPECT_EQ(count_of(d.log(), "Going for infinitely waiting"), 1u);
}

TEST(connection, keepalive_off_answers_one_request_per_connection)
{
    daemon_process d;
    ASSERT_TRUE(d.start(std::string(trace_levels) + "KeepAlive = no\n")) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    ASSERT_TRUE(conn.send(std::string(options_request) + options_request));
    icap_reply r;
    ASSERT_TRUE(conn.read_reply(r));
    EXPECT_EQ(r.fields["connection"], "close");
    EXPECT_FALSE(conn.read_reply(r, 3000));  // the second request is never answered
    EXPECT_TRUE(conn.wait_closed());
    ASSERT_TRUE(d.wait_log("exit cycle: "));
    EXPECT_NE(d.log().find(" 0 0 0\n"), std::string::npos);
}

TEST(connection, connection_close_from_the_client_ends_the_process)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    ASSERT_TRUE(conn.send("OPTIONS icap://127.0.0.1/avscan ICAP/1.0\r\nConnection: close\r\n\r\n"));
    icap_reply r;
    ASSERT_TRUE(conn.read_reply(r));
    EXPECT_TRUE(conn.wait_closed());
    ASSERT_TRUE(d.wait_log("exit cycle: "));
    EXPECT_NE(d.log().find(" 1 1 0\n"), std::string::npos);
}

TEST(connection, client_closing_an_idle_connection_ends_its_process)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    ASSERT_TRUE(conn.send(options_request));
    icap_reply r;
    ASSERT_TRUE(conn.read_reply(r));
    ASSERT_TRUE(d.wait_log("Going for infinitely waiting"));
    conn.close();
    EXPECT_TRUE(d.wait_log("ICAP client close connection -> exit from process\n"));
}

TEST(connection, client_resetting_an_idle_connection_ends_its_process)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    ASSERT_TRUE(conn.send(options_request));
    icap_reply r;
    ASSERT_TRUE(conn.read_reply(r));
    ASSERT_TRUE(d.wait_log("Going for infinitely waiting"));
    // A zero linger time makes the close a reset.
    struct linger lg = {1, 0};
    ASSERT_EQ(setsockopt(conn.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
    conn.close();
    EXPECT_TRUE(d.wait_log("ICAP client reset connection -> exit from process\n")) << d.log();
}

TEST(connection, idle_keepalive_process_is_not_ended_by_the_request_alarm)
{
    // The request alarm (Timeout) covers reading a request, never the wait
    // for the next one.
    daemon_process d;
    ASSERT_TRUE(d.start(std::string(trace_levels) + "Timeout = 1\n")) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    // A head cut short by an unknown entity gets the error reply, and the
    // connection stays open with the alarm of that head still armed.
    ASSERT_TRUE(conn.send("REQMOD icap://127.0.0.1/avscan ICAP/1.0\r\nEncapsulated: foo-hdr=0\r\n"));
    icap_reply err;
    ASSERT_TRUE(conn.read_reply(err));
    ASSERT_TRUE(d.wait_log("Going for infinitely waiting"));
    sleep(2);
    ASSERT_TRUE(conn.send(options_request));
    icap_reply r;
    ASSERT_TRUE(conn.read_reply(r));
    EXPECT_EQ(r.raw, options_keepalive);
    EXPECT_EQ(d.log().find("timeout error in ipc"), std::string::npos);
}

TEST(connection, silent_client_is_dropped_after_timeout)
{
    daemon_process d;
    ASSERT_TRUE(d.start("Timeout = 1\n")) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    EXPECT_TRUE(conn.wait_closed(10000));
    // Whichever fires first, the alarm or the line reader's wait.
    std::string log = d.log();
    EXPECT_TRUE(log.find("timeout error in ipc (timeout=1; url=?)\n") != std::string::npos ||
                log.find("ICAP client break connection\n") != std::string::npos)
        << log;
}

TEST(connection, endless_head_gets_400_and_the_connection_ends)
{
    daemon_process d;
    ASSERT_TRUE(d.start()) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    std::string head = "OPTIONS icap://127.0.0.1/avscan ICAP/1.0\r\n";
    const std::string field = "X-Filler: " + std::string(90, 'a') + "\r\n";
    while (head.size() < 66000)
        head += field;
    ASSERT_TRUE(conn.send(head));
    icap_reply r;
    ASSERT_TRUE(conn.read_reply(r));
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.raw_head.rfind("ICAP/1.0 400 Bad Request\r\n", 0), 0u);
    EXPECT_TRUE(conn.wait_closed());
}

TEST(connection, c_icap_client_reads_the_options)
{
    daemon_process d;
    ASSERT_TRUE(d.start()) << d.stderr_text();
    run_result r = run_program(
        {"/usr/bin/c-icap-client", "-i", "127.0.0.1", "-p", std::to_string(d.port()), "-s", "avscan", "-v"}, "", 30);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string text = r.out + r.err;
    EXPECT_NE(text.find("Allow 204: Yes"), std::string::npos) << text;
    EXPECT_NE(text.find("Preview: 0"), std::string::npos) << text;
    EXPECT_NE(text.find("Keep alive: Yes"), std::string::npos) << text;
    EXPECT_NE(text.find("ISTAG: \"tavex-icapd6.0=0\""), std::string::npos) << text;
    EXPECT_EQ(d.stop(), 0);
}
