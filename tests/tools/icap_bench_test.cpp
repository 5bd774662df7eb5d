// Smoke tests of icap-bench: a few hundred exchanges against a real server
// must end with exit status 0, and replies that are not a correct echo must
// end with 1. Exit status and counts only; nothing here depends on speed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/support.h"
#include "support/tavexd_process.h"

namespace {

const std::string k_bench = std::string(TVX_BINARY_DIR) + "/tools/icap-bench/icap-bench";

tvx_test::run_result bench(std::vector<std::string> args)
{
    args.insert(args.begin(), k_bench);
    return tvx_test::run_program(args, "", 120);
}

// icap-bench's own raw echo server, run as a separate process for as long
// as the object lives.
class echo_server {
public:
    explicit echo_server(int port) : port_(port)
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            execl(k_bench.c_str(), k_bench.c_str(), "echo-server", "-p", std::to_string(port).c_str(),
                  "-d", "120", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')  // the first line says it listens
            line_ += c;
        close(out[0]);
    }
    ~echo_server()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool listening() const { return line_.find("echo server on") != std::string::npos; }

private:
    int port_;
    pid_t pid_ = -1;
    std::string line_;
};

// How the keep-alive server below treats its connections.
struct keep_alive_rule {
    int answers;      // OPTIONS answered whole on each connection before it is closed
    bool cut_next;    // then the next request gets half a reply before the close
    int good_conns;   // connections served so; later ones are closed unanswered (-1: all)
};

// A fake ICAP server on a thread of the test, one connection at a time: it
// answers OPTIONS correctly as the rule says and then closes the connection
// as a server that retires an idle keep-alive connection does.
class keep_alive_server {
public:
    explicit keep_alive_server(const keep_alive_rule &rule) : rule_(rule)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd_, 64) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~keep_alive_server()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    int port() const { return port_; }

private:
    static constexpr const char *k_reply =
        "ICAP/1.0 200 OK\r\nMethods: RESPMOD, REQMOD\r\nISTag: \"fake-1\"\r\nEncapsulated: null-body=0\r\n\r\n";

    // Reads one request head (OPTIONS carries nothing after it); false at
    // the end of the stream or after five seconds of silence.
    static bool read_request(int fd)
    {
        std::string got;
        char buf[4096];
        while (got.find("\r\n\r\n") == std::string::npos) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                return false;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            got.append(buf, static_cast<size_t>(n));
        }
        return true;
    }

    void serve()
    {
        const size_t len = strlen(k_reply);
        for (int conns = 0; !stop_;) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            bool good = rule_.good_conns < 0 || conns++ < rule_.good_conns;
            for (int i = 0; good && i < rule_.answers && read_request(c); ++i)
                if (send(c, k_reply, len, MSG_NOSIGNAL) != static_cast<ssize_t>(len))
                    break;
            if (good && rule_.cut_next && read_request(c))
                send(c, k_reply, len / 2, MSG_NOSIGNAL);
            close(c);
        }
    }

    keep_alive_rule rule_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A reused connection closed before any byte of the reply is sent again
// once on a new connection, as a proxy does, and counted as retried; a
// fresh connection, a reply that had begun, or a retry that fails again
// stays a failure.
TEST(IcapBench, RequestOnARetiredKeepAliveConnectionIsRetriedOnce)
{
    struct {
        const char *what;
        keep_alive_rule rule;
        std::vector<std::string> args;
        int status;
        std::string result;
    } cases[] = {
        {"one reply per connection", {1, false, -1}, {"-c", "1", "-n", "20"}, 0, " ok=20 failed=0 errors=0 retried=19 "},
        {"one reply per connection, 4 connections", {1, false, -1}, {"-c", "4", "-n", "40"}, 0,
         " ok=40 failed=0 errors=0 retried=36 "},
        {"second reply cut", {1, true, -1}, {"-c", "1", "-n", "2"}, 1, " ok=1 failed=1 errors=1 retried=0 "},
        {"fresh connections closed unanswered", {0, false, -1}, {"-c", "1", "-n", "3"}, 1,
         " ok=0 failed=3 errors=3 retried=0 "},
        {"the retry closed unanswered too", {1, false, 1}, {"-c", "1", "-n", "2"}, 1,
         " ok=1 failed=1 errors=1 retried=1 "},
    };
    for (const auto &tc : cases) {
        keep_alive_server server(tc.rule);
        ASSERT_GT(server.port(), 0) << tc.what;
        std::vector<std::string> args = {"options", "-p", std::to_string(server.port()), "-d", "60",
                                         "--timeout", "5000"};
        args.insert(args.end(), tc.args.begin(), tc.args.end());
        tvx_test::run_result r = bench(args);
        EXPECT_EQ(r.status, tc.status) << tc.what << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(tc.result), std::string::npos) << tc.what << "\n" << r.out;
    }
}

TEST(IcapBench, RawEchoChecksEveryByteAndStopsAtTheCount)
{
    tvx_test::run_result r = bench({"raw", "-c", "4", "-n", "300", "-s", "5000", "-d", "60", "-q"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("RESULT mode=raw conns=4 ok=300 failed=0 errors=0 "), std::string::npos) << r.out;
}

TEST(IcapBench, ForkCeilingReapsEveryChild)
{
    tvx_test::run_result r = bench({"fork", "-c", "2", "-n", "40", "-d", "60", "-q"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("RESULT mode=fork conns=2 ok=40 failed=0 "), std::string::npos) << r.out;
}

// An echo server mirrors the ICAP request itself: well-formed bytes, but no
// ICAP reply. Every request must be counted as failed, none as answered.
TEST(IcapBench, MirroredRequestsAreErrorsNotThroughput)
{
    int port = tvx_test::free_tcp_port();
    echo_server server(port);
    ASSERT_TRUE(server.listening());
    for (const char *mode : {"options", "respmod"}) {
        tvx_test::run_result r = bench({mode, "-p", std::to_string(port), "-c", "2", "-n", "20", "-d", "60"});
        EXPECT_EQ(r.status, 1) << mode << "\n" << r.out;
        EXPECT_NE(r.out.find(" ok=0 failed=20 "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("bad status line"), std::string::npos) << r.out;
    }
}

// The real daemon with no scanning daemon: a few hundred requests of each
// kind, full echoes, previews left open and ended by ieof, one connection
// per request; every reply must pass the checker.
TEST(IcapBench, DaemonAnswersPassTheChecker)
{
    tvx_test::daemon_process d;
    ASSERT_TRUE(d.start("LogLevel = 0\n")) << d.stderr_text();
    const std::string port = std::to_string(d.port());
    const std::vector<std::vector<std::string>> runs = {
        {"options", "-c", "4", "-n", "300"},
        {"options", "-c", "2", "-n", "40", "--close"},
        {"reqmod", "-c", "4", "-n", "300", "--allow204"},
        {"respmod", "-c", "4", "-n", "300", "-s", "3000", "--chunk", "1000"},
        {"respmod", "-c", "4", "-n", "300", "-s", "1k", "--preview", "0", "--allow204"},
        {"respmod", "-c", "4", "-n", "300", "-s", "4000", "--preview", "1024"},
        {"respmod", "-c", "4", "-n", "300", "-s", "1000", "--preview", "1024"},
        {"respmod", "-c", "2", "-n", "20", "-s", "3m"},
    };
    for (std::vector<std::string> args : runs) {
        args.insert(args.end(), {"-p", port, "-d", "60", "-q"});
        tvx_test::run_result r = bench(args);
        EXPECT_EQ(r.status, 0) << args[0] << " " << args[4] << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(" ok=" + args[4] + " failed=0 "), std::string::npos) << r.out;
    }
}

// The reconnection measurement against tavexd: every scan of all four cases
// answered, the kept connections opened before the clock and a new one for
// each scan otherwise; scans that are not answered whole fail the run.
TEST(IcapBench, ReconnectScansThroughTavexdOnBothTransports)
{
    struct {
        std::vector<std::string> tavexd_args;
        int status;
        std::vector<std::string> expect;
    } cases[] = {
        {{},
         0,
         {"transport=unix conn=kept ok=40 failed=0 connects=0 ", "transport=unix conn=new ok=40 failed=0 connects=40 ",
          "transport=tcp conn=kept ok=40 failed=0 connects=0 ", "transport=tcp conn=new ok=40 failed=0 connects=40 ",
          "codes      0x100000: 160\n"}},
        {{"--code", "0x120"}, 1, {" ok=0 failed=40 ", "unix, kept connection: reply carries a cured body"}},
        {{"--fault", "close-mid-reply", "--fault-on", "1"},
         1,
         {" ok=0 failed=40 ", "tcp, new per scan: connection closed before the reply ended"}},
    };
    for (const auto &tc : cases) {
        tvx_test::tavexd_process t;
        ASSERT_TRUE(t.start(tc.tavexd_args)) << t.stderr_text();
        tvx_test::run_result r = bench({"reconnect", "--local", t.socket_path(), "-p", std::to_string(t.port()),
                                        "-n", "40", "-d", "60", "--timeout", "5000"});
        EXPECT_EQ(r.status, tc.status) << r.out << r.err;
        for (const std::string &e : tc.expect)
            EXPECT_NE(r.out.find(e), std::string::npos) << e << "\n" << r.out;
    }
}

TEST(IcapBench, NobodyListeningIsAFailure)
{
    int port = tvx_test::free_tcp_port();
    tvx_test::run_result r = bench({"options", "-p", std::to_string(port), "-n", "5", "-d", "10"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("connect: Connection refused"), std::string::npos) << r.out;
}

}  // namespace
