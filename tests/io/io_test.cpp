// Timed socket I/O over real socket pairs: the line reader with split,
// pipelined and overlong lines, exact reads that drain the line buffer
// first, time-outs, closed and vanished peers, 32-bit wire integers.
#include <gtest/gtest.h>

#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "io/io.h"
#include "support/log_capture.h"

namespace {

class IoTest : public ::testing::Test {
protected:
    int fd = -1;    // our end, as the daemon holds it
    int peer = -1;  // the client's end
    void SetUp() override
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        fd = sv[0];
        peer = sv[1];
        readline_reset();
        io_set_timeout(60);
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        if (peer >= 0)
            close(peer);
        readline_reset();
        io_set_timeout(60);
    }
    void send_peer(const std::string &s)
    {
        ASSERT_EQ(write(peer, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    std::string line(size_t cap = 4096)
    {
        std::string buf(cap, 'X');
        int r = readline(fd, &buf[0], cap, nullptr);
        last_rc = r;
        return cap ? std::string(buf.c_str()) : std::string();
    }
    int last_rc = 0;
};

// Waits until the reader has taken every byte queued for fd.
void wait_drained(int fd)
{
    int queued;
    do {
        usleep(1000);
        ASSERT_EQ(ioctl(fd, FIONREAD, &queued), 0);
    } while (queued > 0);
}

TEST_F(IoTest, LineSplitOverSeveralSegmentsIsAssembled)
{
    std::thread writer([this] {
        send_peer("OPTIONS icap://x");
        wait_drained(fd);  // the reader has consumed the first piece
        send_peer(" ICAP/1.0\r\nHost: x\r\n");
    });
    EXPECT_EQ(line(), "OPTIONS icap://x ICAP/1.0\r\n");
    EXPECT_GT(last_rc, 0);
    writer.join();
    EXPECT_EQ(line(), "Host: x\r\n");
    EXPECT_TRUE(readline_empty());
}

TEST_F(IoTest, PipelinedRequestStaysInTheLineBuffer)
{
    send_peer("OPTIONS icap://a ICAP/1.0\r\n\r\nOPTIONS icap://b ICAP/1.0\r\n\r\n");
    EXPECT_EQ(line(), "OPTIONS icap://a ICAP/1.0\r\n");
    EXPECT_EQ(line(), "\r\n");
    EXPECT_FALSE(readline_empty());
    close(peer);  // the second request must come from the buffer alone
    peer = -1;
    EXPECT_EQ(line(), "OPTIONS icap://b ICAP/1.0\r\n");
    EXPECT_EQ(line(), "\r\n");
    EXPECT_TRUE(readline_empty());
    EXPECT_EQ(line(), "");
    EXPECT_EQ(last_rc, 0);
    EXPECT_EQ(fd, -1);
}

TEST_F(IoTest, ExactReadDrainsTheBufferThenReadsTheSocket)
{
    std::string body;
    for (int i = 0; i < 100; ++i)
        body += static_cast<char>('A' + i % 26);
    send_peer("Encapsulated: res-hdr=0\r\n" + body.substr(0, 40));
    EXPECT_EQ(line(), "Encapsulated: res-hdr=0\r\n");
    EXPECT_FALSE(readline_empty());
    send_peer(body.substr(40));
    char got[100];
    EXPECT_EQ(io_read_exact(fd, got, sizeof got, true), 100);
    EXPECT_EQ(std::string(got, sizeof got), body);
    EXPECT_TRUE(readline_empty());
}

TEST_F(IoTest, LargeExactReadThroughTheLineBuffer)
{
    std::string head = "1000000\r\n";
    std::string body(1000000, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7 + i / 4096);
    std::thread writer([&] {
        std::string all = head + body + "\r\n";
        int p = peer;
        ASSERT_EQ(io_write_all(p, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    });
    EXPECT_EQ(line(), head);
    std::string got(body.size(), 'X');
    EXPECT_EQ(io_read_exact(fd, &got[0], got.size(), true), static_cast<ssize_t>(got.size()));
    writer.join();
    EXPECT_TRUE(got == body);
    EXPECT_EQ(line(), "\r\n");
}

TEST_F(IoTest, ShortExactReadWhenPeerEndsTheData)
{
    send_peer("line\n0123456789");
    EXPECT_EQ(line(), "line\n");
    send_peer("abcde");
    shutdown(peer, SHUT_WR);
    char got[64];
    EXPECT_EQ(io_read_exact(fd, got, sizeof got, true), 15);
    EXPECT_EQ(std::string(got, 15), "0123456789abcde");
    EXPECT_GE(fd, 0);
}

TEST_F(IoTest, OtherConnectionsAreReadWithoutTheLineBuffer)
{
    // A pipelined request waits in the buffer while the scanning daemon's
    // connection is read directly.
    send_peer("REQMOD icap://a ICAP/1.0\r\nREQMOD icap://b ICAP/1.0\r\n");
    EXPECT_EQ(line(), "REQMOD icap://a ICAP/1.0\r\n");
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    uint32_t v = 0;
    int daemon_end = sv[1];
    EXPECT_EQ(io_write_u32(daemon_end, 0x12345678u), 4);
    unsigned char raw[4];
    int ours = sv[0];
    EXPECT_EQ(io_read_exact(ours, raw, 4, false), 4);
    EXPECT_EQ(raw[0], 0x12);
    EXPECT_EQ(raw[3], 0x78);
    EXPECT_EQ(io_write_u32(daemon_end, 4000000000u), 4);
    EXPECT_EQ(io_read_u32(v, ours), 4);
    EXPECT_EQ(v, 4000000000u);
    close(sv[0]);
    close(sv[1]);
    EXPECT_EQ(line(), "REQMOD icap://b ICAP/1.0\r\n");
}

TEST_F(IoTest, ShortU32LeavesTheValue)
{
    send_peer(std::string("\x01\x02", 2));
    shutdown(peer, SHUT_WR);
    uint32_t v = 77;
    EXPECT_EQ(io_read_u32(v, fd), 2);
    EXPECT_EQ(v, 77u);
}

TEST_F(IoTest, SilentClientIsTreatedAsGone)
{
    log_capture log(1);
    io_set_timeout(1);
    EXPECT_EQ(line(), "");
    EXPECT_EQ(last_rc, 0);
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(log.has("ICAP client break connection\n"));
}

TEST_F(IoTest, ZeroTimeoutWaitsWithoutLimit)
{
    io_set_timeout(0);
    std::thread writer([this] {
        usleep(200000);  // a zero-length wait would have given up by now
        send_peer("late\r\n");
    });
    EXPECT_EQ(line(), "late\r\n");
    writer.join();
}

TEST_F(IoTest, ReadTimeoutKeepsTheConnectionOpen)
{
    log_capture log(2);
    io_set_timeout(1);
    char buf[8];
    EXPECT_EQ(io_read_exact(fd, buf, sizeof buf, false), -1);
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(log.has("read: timeout error (after 1 seconds)\n"));
}

TEST_F(IoTest, PeerClosingMidLineGivesThePartThenZero)
{
    log_capture log(1 | 32);
    send_peer("OPTIONS icap://x IC");
    close(peer);
    peer = -1;
    std::string buf(64, 'X');
    EXPECT_GT(readline(fd, &buf[0], buf.size(), "icap header -"), 0);
    EXPECT_STREQ(buf.c_str(), "OPTIONS icap://x IC");
    EXPECT_GE(fd, 0);
    EXPECT_EQ(readline(fd, &buf[0], buf.size(), "icap header -"), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(log.has("icap header - 'OPTIONS icap://x IC'\n"));
    EXPECT_TRUE(log.has("icap header - ''\n"));
    EXPECT_TRUE(log.has("ICAP client break connection\n"));
}

TEST_F(IoTest, CapacityBoundsTheLine)
{
    send_peer("abcdefghij\n");
    EXPECT_EQ(line(8), "abcdefg");
    EXPECT_EQ(line(8), "hij\n");
    EXPECT_EQ(line(1), "");
    EXPECT_EQ(last_rc, 1);
}

TEST_F(IoTest, ClosedHandleFailsAtOnce)
{
    int closed = -1;
    char c = 'x';
    EXPECT_EQ(safe_readwrite(closed, &c, 1, false, false), -1);
    EXPECT_EQ(io_read_exact(closed, &c, 1, true), -1);
    EXPECT_EQ(closed, -1);
}

TEST_F(IoTest, WriteToVanishedPeerClosesTheConnection)
{
    log_capture log(1);
    close(peer);
    peer = -1;
    std::string big(1 << 20, 'x');
    EXPECT_EQ(io_write_all(fd, big.data(), big.size()), -1);
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(log.has("write error: Broken pipe\n"));
}

}  // namespace
