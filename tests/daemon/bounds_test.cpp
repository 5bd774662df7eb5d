// Resource bounds of the running daemon over real sockets: the cap on
// connection processes, accept failures for want of descriptors, the idle
// keep-alive time-out, descriptors closed on exec, a thousand clients at
// once, and the temp files a killed connection process left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "support/support.h"

using namespace tvx_test;

namespace {

const char options_request[] = "OPTIONS icap://127.0.0.1/avscan ICAP/1.0\r\n\r\n";
const char trace_levels[] = "LogLevel = 35\n";

bool options_round_trip(icap_conn &conn, icap_reply &r, int timeout_ms = 10000)
{
    return conn.send(options_request) && conn.read_reply(r, timeout_ms) && r.status == 200;
}

// The descriptors a process holds, by number.
std::vector<int> open_descriptors(pid_t pid)
{
    std::vector<int> fds;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                fds.push_back(atoi(e->d_name));
        closedir(d);
    }
    return fds;
}

// The open flags of one descriptor, from /proc/PID/fdinfo (octal).
long descriptor_flags(pid_t pid, int fd)
{
    std::string info = read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    size_t at = info.find("flags:");
    return at == std::string::npos ? -1 : strtol(info.c_str() + at + 6, nullptr, 8);
}

// Sets the soft descriptor limit of another process.
bool set_descriptor_limit(pid_t pid, rlim_t soft)
{
    struct rlimit old;
    if (prlimit(pid, RLIMIT_NOFILE, nullptr, &old) != 0)
        return false;
    struct rlimit lim = {soft, old.rlim_max};
    return prlimit(pid, RLIMIT_NOFILE, &lim, nullptr) == 0;
}

// A RESPMOD with a chunked body whose last chunk is never sent.
std::string unfinished_respmod(const std::string &data)
{
    std::string hdr = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
    return "RESPMOD icap://127.0.0.1/avscan ICAP/1.0\r\nEncapsulated: res-hdr=0, res-body=" +
           std::to_string(hdr.size()) + "\r\n\r\n" + hdr + "100000\r\n" + data;
}

}  // namespace

TEST(bounds, at_the_process_cap_a_new_client_waits_until_one_connection_ends)
{
    daemon_process d;
    ASSERT_TRUE(d.start(std::string(trace_levels) + "MaxChildren = 4\n")) << d.stderr_text();
    icap_conn busy[4];
    icap_reply r;
    for (icap_conn &c : busy) {
        ASSERT_TRUE(c.connect(d.port()));
        ASSERT_TRUE(options_round_trip(c, r));
    }
    ASSERT_TRUE(eventually([&] { return child_processes(d.pid()).size() == 4; }));

    // The fifth connects (the backlog takes it) but gets no process yet.
    icap_conn fifth;
    ASSERT_TRUE(fifth.connect(d.port()));
    ASSERT_TRUE(fifth.send(options_request));
    EXPECT_FALSE(fifth.read_reply(r, 700));
    ASSERT_TRUE(d.wait_log("WARN 4 connection processes (MaxChildren): new connections wait\n")) << d.log();
    EXPECT_EQ(child_processes(d.pid()).size(), 4u);

    // One of the four ends: the fifth is served at once.
    busy[0].close();
    ASSERT_TRUE(fifth.read_reply(r, 5000)) << d.log();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(count_of(d.log(), "new connections wait"), 1u);  // once per episode

    // A second episode is logged again.
    busy[1].close();
    ASSERT_TRUE(eventually([&] { return child_processes(d.pid()).size() == 3; }));
    icap_conn sixth, seventh;
    ASSERT_TRUE(sixth.connect(d.port()));
    ASSERT_TRUE(options_round_trip(sixth, r));
    ASSERT_TRUE(seventh.connect(d.port()));
    ASSERT_TRUE(seventh.send(options_request));
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "new connections wait") == 2; })) << d.log();
    busy[2].close();
    ASSERT_TRUE(seventh.read_reply(r, 5000));
    EXPECT_EQ(d.stop(), 0);
}

TEST(bounds, listener_rides_out_a_descriptor_shortage)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    // Not one descriptor to spare: the limit is the lowest free number, so
    // every accept fails with EMFILE.
    std::vector<int> fds = open_descriptors(d.pid());
    rlim_t lowest_free = 0;
    while (std::find(fds.begin(), fds.end(), static_cast<int>(lowest_free)) != fds.end())
        ++lowest_free;
    ASSERT_TRUE(set_descriptor_limit(d.pid(), lowest_free));
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    ASSERT_TRUE(c.send(options_request));
    ASSERT_TRUE(d.wait_log("ERROR accept: Too many open files\n")) << d.log();
    icap_reply r;
    EXPECT_FALSE(c.read_reply(r, 500));
    EXPECT_TRUE(d.running());

    // Once descriptors are there again the waiting client is served.
    ASSERT_TRUE(set_descriptor_limit(d.pid(), 1024));
    ASSERT_TRUE(c.read_reply(r, 5000)) << d.log();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(count_of(d.log(), "accept: Too many open files"), 1u);  // logged once, retried quietly
    icap_conn again;
    ASSERT_TRUE(again.connect(d.port()));
    EXPECT_TRUE(options_round_trip(again, r));
    EXPECT_EQ(d.stop(), 0);
}

TEST(bounds, idle_keepalive_connection_ends_after_the_idle_timeout)
{
    daemon_process d;
    ASSERT_TRUE(d.start(std::string(trace_levels) + "IdleTimeout = 1\n")) << d.stderr_text();
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    icap_reply r;
    ASSERT_TRUE(options_round_trip(c, r));
    // A client that keeps asking within the time-out keeps its connection.
    for (int i = 0; i < 3; ++i) {
        usleep(400 * 1000);
        ASSERT_TRUE(options_round_trip(c, r));
    }
    EXPECT_TRUE(c.wait_closed(5000));
    EXPECT_TRUE(d.wait_log("ICAP client idle connection -> exit from process\n")) << d.log();
    ASSERT_TRUE(eventually([&] { return child_processes(d.pid()).empty(); }));
}

TEST(bounds, every_descriptor_is_closed_on_exec)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    // A connection process in the middle of a body: connection, keepalive
    // pipe, log and the body's temp file are open.
    ASSERT_TRUE(c.send(unfinished_respmod(std::string(1000, 'x'))));
    ASSERT_TRUE(eventually([&] { return list_dir(d.cache_dir()).size() == 1; }));
    std::vector<pid_t> children = child_processes(d.pid());
    ASSERT_EQ(children.size(), 1u);
    for (pid_t pid : {d.pid(), children[0]}) {
        std::vector<int> fds = open_descriptors(pid);
        EXPECT_GE(fds.size(), 5u);
        for (int fd : fds) {
            if (fd <= 2)
                continue;  // the standard streams stay for the programs the daemon runs
            long flags = descriptor_flags(pid, fd);
            char target[256] = "";
            ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)).c_str(), target,
                                 sizeof target - 1);
            if (n > 0)
                target[n] = '\0';
            EXPECT_NE(flags & O_CLOEXEC, 0) << "process " << pid << " descriptor " << fd << " " << target;
        }
    }
}

TEST(bounds, a_thousand_clients_at_once_are_all_answered)
{
    const int clients = 1000;
    struct rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max < clients + 100)
        GTEST_SKIP() << "the descriptor limit does not allow " << clients << " connections";
    struct rlimit raised = {lim.rlim_max < 4096 ? lim.rlim_max : 4096, lim.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    daemon_process d;
    ASSERT_TRUE(d.start()) << d.stderr_text();
    std::vector<std::unique_ptr<icap_conn>> conns;
    for (int i = 0; i < clients; ++i) {
        conns.emplace_back(new icap_conn());
        ASSERT_TRUE(conns.back()->connect(d.port())) << i;
        ASSERT_TRUE(conns.back()->send(options_request)) << i;
    }
    int answered = 0;
    for (auto &c : conns) {
        icap_reply r;
        if (c->read_reply(r, 30000) && r.status == 200)
            ++answered;
    }
    EXPECT_EQ(answered, clients);
    conns.clear();
    EXPECT_TRUE(eventually([&] { return child_processes(d.pid()).empty(); }, 30000));
    EXPECT_EQ(d.stop(), 0);
    setrlimit(RLIMIT_NOFILE, &lim);
}

TEST(bounds, temp_file_of_a_killed_connection_process_goes_with_the_next_reload)
{
    daemon_process d;
    ASSERT_TRUE(d.start(trace_levels)) << d.stderr_text();
    icap_conn c;
    ASSERT_TRUE(c.connect(d.port()));
    ASSERT_TRUE(c.send(unfinished_respmod(std::string(5000, 'y'))));
    ASSERT_TRUE(eventually([&] { return list_dir(d.cache_dir()).size() == 1; }));
    std::vector<pid_t> children = child_processes(d.pid());
    ASSERT_EQ(children.size(), 1u);
    const std::string left = list_dir(d.cache_dir())[0];
    ASSERT_EQ(kill(children[0], SIGKILL), 0);
    ASSERT_TRUE(eventually([&] { return child_processes(d.pid()).empty(); }));
    EXPECT_EQ(list_dir(d.cache_dir()), std::vector<std::string>{left});  // nobody deleted it

    // Files of live processes and files of other names stay.
    icap_conn live;
    ASSERT_TRUE(live.connect(d.port()));
    ASSERT_TRUE(live.send(unfinished_respmod(std::string(5000, 'z'))));
    ASSERT_TRUE(eventually([&] { return list_dir(d.cache_dir()).size() == 2; }));
    write_file(d.cache_dir() + "/res-body-notmine", "keep");
    write_file(d.cache_dir() + "/lock.http:||a", "keep");

    kill(d.pid(), SIGHUP);
    ASSERT_TRUE(d.wait_log("Removed temp file " + d.cache_dir() + "/" + left + " of ended process " +
                           std::to_string(children[0]) + "\n"))
        << d.log();
    std::vector<std::string> after = list_dir(d.cache_dir());
    EXPECT_EQ(after.size(), 3u);
    for (const std::string &name : after)
        EXPECT_NE(name, left);
}
