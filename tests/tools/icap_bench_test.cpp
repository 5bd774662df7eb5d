// Smoke tests of icap-bench: a few hundred exchanges against a real server
// must end with exit status 0, and replies that are not a correct echo must
// end with 1. Exit status and counts only; nothing here depends on speed.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
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
