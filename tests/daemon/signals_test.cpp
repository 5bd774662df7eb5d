// Signals of the running daemon: SIGHUP reload retiring idle keep-alive
// processes, SIGTERM shutdown, reaping of ended connection processes, and
// the detached start without -m.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "support/support.h"

using namespace tvx_test;

namespace {

const char options_request[] = "OPTIONS icap://127.0.0.1/avscan ICAP/1.0\r\n\r\n";
const char trace_levels[] = "LogLevel = 35\n";

bool options_round_trip(icap_conn &conn, icap_reply &r)
{
    return conn.send(options_request) && conn.read_reply(r);
}

}  // namespace

TEST(signals, sighup_retires_idle_children_and_new_connections_see_the_new_configuration)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    icap_conn conns[3];
    for (icap_conn &c : conns) {
        ASSERT_TRUE(c.connect(d.port()));
        icap_reply r;
        ASSERT_TRUE(options_round_trip(c, r));
        EXPECT_EQ(r.fields["preview"], "0");
    }
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "Going for infinitely waiting") == 3; }));

    d.rewrite_config(std::string(trace_levels) + "UsePreview = no\n");
    kill(d.pid(), SIGHUP);
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "parent close his descriptor") == 3; })) << d.log();
    for (icap_conn &c : conns)
        EXPECT_TRUE(c.wait_closed());
    EXPECT_EQ(count_of(d.log(), "Received SIGHUP signal\n"), 1u);

    icap_conn fresh;
    ASSERT_TRUE(fresh.connect(d.port()));
    icap_reply r;
    ASSERT_TRUE(options_round_trip(fresh, r));
    EXPECT_EQ(r.fields.count("preview"), 0u);
    EXPECT_EQ(d.stop(), 0);
}

TEST(signals, request_already_sent_when_the_listener_retires_a_child_is_answered)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    icap_reply r;
    ASSERT_TRUE(options_round_trip(conn, r));
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "Going for infinitely waiting") == 1; }));
    std::vector<pid_t> children = child_processes(d.pid());
    ASSERT_EQ(children.size(), 1u);

    // Hold the idle child while its next request arrives and the listener
    // closes the pipe, so that both are ready when it wakes up.
    ASSERT_EQ(kill(children[0], SIGSTOP), 0);
    ASSERT_TRUE(conn.send(options_request));
    kill(d.pid(), SIGHUP);
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "init: tavex-icapd starting") == 2; })) << d.log();
    ASSERT_EQ(kill(children[0], SIGCONT), 0);

    ASSERT_TRUE(conn.read_reply(r));
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(conn.wait_closed());
    EXPECT_EQ(count_of(d.log(), "parent close his descriptor"), 1u);
}

TEST(signals, reload_that_switches_keepalive_on_retires_the_next_children_too)
{
    daemon_process d;
    ASSERT_TRUE(d.start(std::string(trace_levels) + "KeepAlive = no\n")) << d.stderr_text();
    d.rewrite_config(std::string(trace_levels) + "KeepAlive = yes\n");
    kill(d.pid(), SIGHUP);
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "init: tavex-icapd starting") == 2; })) << d.log();

    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    icap_reply r;
    ASSERT_TRUE(options_round_trip(conn, r));
    EXPECT_EQ(r.fields.count("connection"), 0u);
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "Going for infinitely waiting") == 1; }));

    kill(d.pid(), SIGHUP);
    EXPECT_TRUE(conn.wait_closed());
    EXPECT_EQ(count_of(d.log(), "parent close his descriptor"), 1u);
}

TEST(signals, failed_reload_keeps_serving_on_the_running_configuration)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    icap_conn idle;
    ASSERT_TRUE(idle.connect(d.port()));
    icap_reply r;
    ASSERT_TRUE(options_round_trip(idle, r));
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "Going for infinitely waiting") == 1; }));

    d.rewrite_config(std::string(trace_levels) + "UsePreview = no\nTimeout = soon\n");
    kill(d.pid(), SIGHUP);
    // The bad value is on line 12; its assignment completes with the line end.
    ASSERT_TRUE(d.wait_log("ERROR Error in tvxid_init(): Error while parsing config file: parser error at line 13: "
                           "Error parsing digital_t\n"))
        << d.log();
    EXPECT_TRUE(d.running());
    // Nothing of the refused text applies, and no process was retired.
    ASSERT_TRUE(options_round_trip(idle, r));
    EXPECT_EQ(r.fields["preview"], "0");
    icap_conn fresh;
    ASSERT_TRUE(fresh.connect(d.port()));
    ASSERT_TRUE(options_round_trip(fresh, r));
    EXPECT_EQ(r.fields["preview"], "0");
    EXPECT_EQ(count_of(d.log(), "parent close his descriptor"), 0u);

    // A later SIGHUP with a good text applies it.
    d.rewrite_config(std::string(trace_levels) + "UsePreview = no\n");
    kill(d.pid(), SIGHUP);
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "init: tavex-icapd starting") == 2; })) << d.log();
    EXPECT_TRUE(idle.wait_closed());
    icap_conn after;
    ASSERT_TRUE(after.connect(d.port()));
    ASSERT_TRUE(options_round_trip(after, r));
    EXPECT_EQ(r.fields.count("preview"), 0u);
    EXPECT_EQ(d.stop(), 0);
}

TEST(signals, sigterm_removes_the_pid_file_and_logs_the_shutdown)
{
    daemon_process d;
    ASSERT_TRUE(d.start()) << d.stderr_text();
    ASSERT_EQ(read_file(d.pid_file()), std::to_string(d.pid()));
    ASSERT_TRUE(d.wait_log("Start Tavex"));  // logged right after the readiness byte
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_FALSE(file_exists(d.pid_file()));
    std::string log = d.log();
    EXPECT_NE(log.find("INFO Start Tavex (R) icapd ver 6.0.0.2\n"), std::string::npos);
    EXPECT_NE(log.find("INFO Tavex (R) icapd shutdown\n"), std::string::npos);
}

TEST(signals, many_children_ending_together_leave_no_zombies)
{
    daemon_process d;
    ASSERT_TRUE(d.start("KeepAlive = no\n")) << d.stderr_text();
    const int n = 12;
    std::unique_ptr<icap_conn> conns[n];
    for (auto &c : conns) {
        c.reset(new icap_conn);
        ASSERT_TRUE(c->connect(d.port()));
    }
    // Every child is waiting for its request; release them all at once.
    ASSERT_TRUE(eventually([&] { return child_processes(d.pid()).size() == static_cast<size_t>(n); }));
    for (auto &c : conns)
        ASSERT_TRUE(c->send(options_request));
    for (auto &c : conns) {
        icap_reply r;
        EXPECT_TRUE(c->read_reply(r));
        EXPECT_TRUE(c->wait_closed());
    }
    EXPECT_TRUE(eventually([&] { return child_processes(d.pid()).empty(); }))
        << child_processes(d.pid(), true).size() << " zombies left";
    EXPECT_TRUE(d.running());
}

TEST(signals, unwritable_pid_file_leaves_the_daemon_running)
{
    daemon_process d;
    ASSERT_TRUE(d.start("LogLevel = 3\nPidFile = /nonexistent/dir/icapd.pid\n")) << d.stderr_text();
    EXPECT_NE(d.log().find("DEBUG error in open pid file /nonexistent/dir/icapd.pid: No such file or directory\n"),
              std::string::npos);
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    icap_reply r;
    EXPECT_TRUE(options_round_trip(conn, r));
    EXPECT_EQ(d.stop(), 0);
}

TEST(signals, lock_file_pass_removes_only_stale_locks)
{
    struct {
        const char *config;
        bool pass_runs;
    } cases[] = {
        {"SendMail = yes\nMailCache = 2\n", true},
        {"SendMailUcfBlock = yes\nMailCache = 2\n", true},
        {"SendMail = no\nSendMailUcfBlock = no\n", false},
        {"SendMail = yes\nMailCache = 0\n", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        daemon_process d;
        // The cache directory is made by start(); the locks are put in place
        // before the first connection wakes the listener.
        ASSERT_TRUE(d.start(std::string(trace_levels) + c.config)) << d.stderr_text();
        std::string stale = d.cache_dir() + "/lock.stale", young = d.cache_dir() + "/lock.young";
        std::string other = d.cache_dir() + "/unlock.stale";
        for (const std::string &p : {stale, young, other})
            write_file(p, "x");
        struct timeval old_times[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        ASSERT_EQ(utimes(stale.c_str(), old_times), 0);
        ASSERT_EQ(utimes(other.c_str(), old_times), 0);
        // Young for the whole test, however slow the machine.
        struct timeval young_times[2] = {{time(nullptr) + 600, 0}, {time(nullptr) + 600, 0}};
        ASSERT_EQ(utimes(young.c_str(), young_times), 0);

        // A first pass ran at start-up on the empty directory; the next one
        // is due MailCache seconds later and only when the listener wakes up.
        if (c.pass_runs) {
            ASSERT_TRUE(eventually([&] { return count_of(d.log(), "Stop checking") == 1; }));
            sleep(3);
        }
        icap_conn conn;
        ASSERT_TRUE(conn.connect(d.port()));
        icap_reply r;
        ASSERT_TRUE(options_round_trip(conn, r));
        if (c.pass_runs) {
            ASSERT_TRUE(eventually([&] { return count_of(d.log(), "Stop checking") == 2; })) << d.log();
            EXPECT_FALSE(file_exists(stale));
            EXPECT_NE(d.log().find("Remove old lock file " + stale + "\n"), std::string::npos);
        } else {
            EXPECT_TRUE(file_exists(stale));
            EXPECT_EQ(d.log().find("Start check for lock files"), std::string::npos);
        }
        EXPECT_TRUE(file_exists(young));
        EXPECT_TRUE(file_exists(other));
        EXPECT_EQ(d.stop(), 0);
    }
}

TEST(signals, without_monitor_mode_the_daemon_detaches)
{
    temp_dir dir;
    mkdir((dir / "cache").c_str(), 0700);
    int port = free_tcp_port();
    write_file(dir / "c.ini", base_config(dir.path(), port));
    run_result r = run_program({TVX_DAEMON_PATH, "-f", dir / "c.ini"}, "", 30);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");  // no readiness byte without -m
    ASSERT_TRUE(eventually([&] { return !read_file(dir / "icapd.pid").empty(); }));
    pid_t pid = std::stoi(read_file(dir / "icapd.pid"));
    struct Killer {
        pid_t pid;
        ~Killer() { kill(pid, SIGKILL); }
    } killer{pid};

    EXPECT_EQ(getsid(pid), pid);  // a session of its own
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    EXPECT_NE(status.find("\nUid:\t" + std::to_string(getuid()) + "\t"), std::string::npos);
    ASSERT_TRUE(eventually([&] { return read_file(dir / "icapd.log").find("Start Tavex") != std::string::npos; }));
    icap_conn conn;
    ASSERT_TRUE(conn.connect(port));
    icap_reply reply;
    EXPECT_TRUE(options_round_trip(conn, reply));
    EXPECT_EQ(reply.status, 200);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return kill(pid, 0) != 0; }));
    EXPECT_FALSE(file_exists(dir / "icapd.pid"));
}

// SIGALRM reaching a connection process in the middle of a body (no wait
// of the daemon starts a timer: here it comes from outside) ends it with
// the time-out line, written without allocating, and deletes its temp file.
TEST(signals, sigalrm_ends_a_connection_process_with_the_timeout_line)
{
    daemon_process d;
    ASSERT_TRUE(d.start()) << d.stderr_text();
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    const std::string req = "GET /big.iso HTTP/1.1\r\nHost: files.example\r\n\r\n";
    const std::string res = "HTTP/1.1 200 OK\r\n\r\n";
    ASSERT_TRUE(c.send("RESPMOD icap://127.0.0.1/avscan ICAP/1.0\r\nEncapsulated: req-hdr=0, res-hdr=" +
                       std::to_string(req.size()) + ", res-body=" + std::to_string(req.size() + res.size()) +
                       "\r\n\r\n" + req + res + "100000\r\n" + std::string(3000, 'a')));
    ASSERT_TRUE(eventually([&] { return list_dir(d.cache_dir()).size() == 1; }));
    std::vector<pid_t> children = child_processes(d.pid());
    ASSERT_EQ(children.size(), 1u);
    time_t before = time(nullptr);
    ASSERT_EQ(kill(children[0], SIGALRM), 0);
    ASSERT_TRUE(d.wait_log("timeout error in ipc (timeout=60; url=files.example/big.iso)\n")) << d.log();
    EXPECT_TRUE(c.wait_closed());
    EXPECT_TRUE(list_dir(d.cache_dir()).empty());

    // The line has the form of every other line, with the local time.
    std::string log = d.log();
    size_t end = log.find(" ERROR timeout error in ipc");
    size_t start = log.rfind('\n', end);
    start = start == std::string::npos ? 0 : start + 1;
    std::string prefix = log.substr(start, end - start);
    char stamp[64];
    struct tm tmv;
    localtime_r(&before, &tmv);
    strftime(stamp, sizeof stamp, "%a %b ", &tmv);
    EXPECT_EQ(prefix.rfind(stamp, 0), 0u) << prefix;
    EXPECT_NE(prefix.find(" tavex-icapd (" + std::to_string(children[0]) + "):"), std::string::npos) << prefix;
    int hh = -1, mm = -1, ss = -1;
    ASSERT_EQ(sscanf(prefix.c_str() + 11, "%d:%d:%d", &hh, &mm, &ss), 3) << prefix;
    long written = hh * 3600 + mm * 60 + ss;
    long expected = tmv.tm_hour * 3600 + tmv.tm_min * 60 + tmv.tm_sec;
    EXPECT_LE((written - expected + 86400) % 86400, 5) << prefix;
    EXPECT_TRUE(d.running());
}
