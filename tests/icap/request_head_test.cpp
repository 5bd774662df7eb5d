// The ICAP request head parser over a real socket pair: request lines,
// the interpreted fields, result codes and the bounds of an endless head.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "config/icapd_config.h"
#include "icap/request_head.h"
#include "io/io.h"
#include "request/request.h"
#include "support/log_capture.h"

namespace {

class RequestHead : public ::testing::Test {
protected:
    int fd = -1;
    int peer = -1;
    void SetUp() override
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        fd = sv[0];
        peer = sv[1];
        readline_reset();
        icap_request_reset(g_request);
        g_config.Timeout = 0;
    }
    void TearDown() override
    {
        io_alarm_disarm();
        if (fd >= 0)
            close(fd);
        if (peer >= 0)
            close(peer);
        readline_reset();
        icap_request_reset(g_request);
        g_config.Timeout = 60;
    }
    // Sends the head from a thread (it may exceed the socket buffer) and parses it.
    int parse(const std::string &head)
    {
        std::thread writer([&] { send(peer, head.data(), head.size(), MSG_NOSIGNAL); });
        int rc = icap_read_request_head(fd);
        writer.join();
        return rc;
    }
};

TEST_F(RequestHead, RequestLines)
{
    struct { const char *line; int rc; } cases[] = {
        {"OPTIONS icap://x ICAP/1.0\r\n", 1},
        {"OPTIONS icap://x icap/1.0\r\n", 1},
        {"RESPMOD icap://x/av ICAP/1.0 extra\r\n", 1},
        {"REQMOD icap://x ICAP/1.0\n", 1},
        {"options icap://x ICAP/1.0\r\n", 400},
        {"GET icap://x ICAP/1.0\r\n", 400},
        {"OPTIONS icap://x ICAP/1.1\r\n", 400},
        {"OPTIONS icap://x\r\n", 400},
        {"\r\n", 400},
    };
    for (auto &c : cases) {
        TearDown();
        SetUp();
        log_capture log(1);
        EXPECT_EQ(parse(std::string(c.line) + "\r\n"), c.rc) << c.line;
        if (c.rc == 400) {
            EXPECT_TRUE(log.has(std::string("wrong ICAP request '") + c.line + "'\n")) << log.text();
        }
    }
}

TEST_F(RequestHead, FieldsFillTheRequest)
{
    log_capture log(16);
    ASSERT_EQ(parse("RESPMOD icap://127.0.0.1:1344/av ICAP/1.0\r\n"
                    "Host: 127.0.0.1:1344\r\n"
                    "Encapsulated: req-hdr=0, res-hdr=412, res-body=873\r\n"
                    "Preview: 0\r\n"
                    "Allow: 204, trailers\r\n"
                    "X-Client-IP: 10.0.0.7 extra\r\n"
                    "X-Client-Username: alice\r\n"
                    "Connection: CLOSE\r\n"
                    "\r\n"),
              1);
    EXPECT_STREQ(g_request.method, "RESPMOD");
    EXPECT_STREQ(g_request.uri, "icap://127.0.0.1:1344/av");
    EXPECT_STREQ(g_request.version, "ICAP/1.0");
    ASSERT_EQ(g_request.entities.size(), 3u);
    const char *names[] = {"req-hdr", "res-hdr", "res-body"};
    unsigned offsets[] = {0, 412, 873};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(g_request.entities[i].name, names[i]);
        EXPECT_EQ(g_request.entities[i].offset, offsets[i]);
        EXPECT_EQ(g_request.entities[i].fd, -1);
    }
    EXPECT_EQ(g_request.preview, 0);
    EXPECT_TRUE(g_request.allow_204);
    EXPECT_STREQ(g_request.client_ip, "10.0.0.7");
    EXPECT_STREQ(g_request.client_username, "alice");
    EXPECT_TRUE(g_request.connection_close);
    EXPECT_TRUE(readline_empty());
    EXPECT_TRUE(log.has("icap header - Preview: 0\r\n\n"));
}

TEST_F(RequestHead, FieldEdgeCases)
{
    struct { const char *field; int rc; int preview; bool allow; bool close; } cases[] = {
        {"Preview: abc", 400, -1, false, false},
        {"Preview: 1024", 1, 1024, false, false},
        {"Allow: 204", 1, -1, true, false},
        {"Allow: trailers", 1, -1, false, false},
        {"Allow: 206, trailers", 1, -1, false, false},
        {"Allow:", 1, -1, false, false},
        {"connection: close", 1, -1, false, false},
        {"Connection: close", 1, -1, false, true},
        {"Connection: keep-alive", 1, -1, false, false},
        {"Preview : 5", 1, -1, false, false},
        {"Malformed line without colon", 1, -1, false, false},
    };
    for (auto &c : cases) {
        TearDown();
        SetUp();
        log_capture log(1);
        EXPECT_EQ(parse(std::string("REQMOD icap://x ICAP/1.0\r\n") + c.field + "\r\n\r\n"), c.rc) << c.field;
        EXPECT_EQ(g_request.preview, c.preview) << c.field;
        EXPECT_EQ(g_request.allow_204, c.allow) << c.field;
        EXPECT_EQ(g_request.connection_close, c.close) << c.field;
        if (c.rc == 400) {
            EXPECT_TRUE(log.has(std::string("error in parse icap header ") + c.field + "\r\n\n")) << log.text();
        }
    }
}

TEST_F(RequestHead, UnknownEntityEndsTheRequest)
{
    log_capture log(1);
    EXPECT_EQ(parse("RESPMOD icap://x ICAP/1.0\r\nEncapsulated: res-hdr=0, trailer=10\r\n\r\n"), 0);
    EXPECT_TRUE(log.has("unrecognize entity type trailer=10 in header Encapsulated: res-hdr=0, trailer=10\r\n\n"))
        << log.text();
}

TEST_F(RequestHead, SquidOptionsWithoutEncapsulated)
{
    EXPECT_EQ(parse("OPTIONS icap://127.0.0.1:1344/avscan ICAP/1.0\r\n"
                    "Host: 127.0.0.1:1344\r\n"
                    "Allow: 206, trailers\r\n"
                    "\r\n"),
              1);
    EXPECT_STREQ(g_request.method, "OPTIONS");
    EXPECT_TRUE(g_request.entities.empty());
    EXPECT_FALSE(g_request.allow_204);
    EXPECT_EQ(g_request.preview, -1);
}

TEST_F(RequestHead, PipelinedSecondHeadStaysBuffered)
{
    EXPECT_EQ(parse("OPTIONS icap://a ICAP/1.0\r\n\r\nOPTIONS icap://b ICAP/1.0\r\n\r\n"), 1);
    EXPECT_STREQ(g_request.uri, "icap://a");
    EXPECT_FALSE(readline_empty());
    icap_request_reset(g_request);
    EXPECT_EQ(icap_read_request_head(fd), 1);
    EXPECT_STREQ(g_request.uri, "icap://b");
}

TEST_F(RequestHead, ConnectionEndedBeforeTheFirstLine)
{
    close(peer);
    peer = -1;
    EXPECT_EQ(icap_read_request_head(fd), 1);
    EXPECT_STREQ(g_request.method, "");
    EXPECT_EQ(fd, -1);
}

// The head arms the request deadline with Timeout: a client that stalls in
// the middle of its head makes the wait end about a second later, well
// before the per-wait time-out, and the deadline handler runs in the main
// flow (in the daemon it logs the time-out and ends the process).
volatile int g_deadline_calls = 0;
void on_test_deadline() { ++g_deadline_calls; }

TEST_F(RequestHead, StalledHeadReachesTheDeadline)
{
    io_set_deadline_handler(on_test_deadline);
    g_deadline_calls = 0;
    g_config.Timeout = 1;
    io_set_timeout(10);
    const std::string first = "OPTIONS icap://x ICAP/1.0\r\n";
    ASSERT_EQ(send(peer, first.data(), first.size(), MSG_NOSIGNAL), static_cast<ssize_t>(first.size()));
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    icap_read_request_head(fd);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double waited = static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
    EXPECT_EQ(g_deadline_calls, 1);
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 5.0);
    io_alarm_disarm();
    io_set_timeout(60);
    io_set_deadline_handler(nullptr);
}

TEST_F(RequestHead, OverlongLineRestIsNotAField)
{
    std::string head = "REQMOD icap://x ICAP/1.0\r\nX-Long: " + std::string(5000, 'a') +
                       "Connection: close\r\nPreview: 7\r\n\r\n";
    EXPECT_EQ(parse(head), 1);
    EXPECT_FALSE(g_request.connection_close);
    EXPECT_EQ(g_request.preview, 7);
}

// An endless stream of header lines: the parser must give up with 400
// after a bounded amount, while the client is still sending.
TEST_F(RequestHead, EndlessHeadIsRefused)
{
    struct { const char *name; std::string line; } cases[] = {
        {"many short lines", "X-Pad: x\r\n"},
        {"few long lines", "X-Pad: " + std::string(4000, 'p') + "\r\n"},
        {"one endless line", std::string(4096, 'q')},
        {"endless entities", "Encapsulated: req-hdr=0 res-hdr=1 res-body=2\r\n"},
    };
    for (auto &c : cases) {
        TearDown();
        SetUp();
        log_capture log(1);
        std::atomic<bool> stop{false};
        std::string first = "RESPMOD icap://x ICAP/1.0\r\n";
        std::thread writer([&] {
            if (send(peer, first.data(), first.size(), MSG_NOSIGNAL) < 0)
                return;
            while (!stop && send(peer, c.line.data(), c.line.size(), MSG_NOSIGNAL) > 0) {
            }
        });
        EXPECT_EQ(icap_read_request_head(fd), 400) << c.name;
        stop = true;
        shutdown(fd, SHUT_RDWR);  // ends a writer blocked on a full socket
        writer.join();
        EXPECT_LE(g_request.entities.size(), ICAP_HEAD_MAX_ENTITIES) << c.name;
    }
}

}  // namespace
