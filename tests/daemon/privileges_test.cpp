// Privileges of the running daemon started as root: detached by a shell,
// or kept in the foreground by process 1 (an init system or a container
// entrypoint, here the first process of a PID namespace). Either way it
// serves as the User account, with that account's groups, group and user
// id, and what it creates belongs to that account. Needs root.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/support.h"

using namespace tvx_test;

namespace {

const char options_request[] = "OPTIONS icap://127.0.0.1/avscan ICAP/1.0\r\n\r\n";

// The "Name:" line of /proc/PID/status, after the tab.
std::string status_field(pid_t pid, const std::string &name)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\n" + name + ":\t");
    if (at == std::string::npos)
        return "";
    at += name.size() + 3;
    return status.substr(at, status.find('\n', at) - at);
}

// A process whose command is the daemon, among the descendants of root.
pid_t find_daemon_below(pid_t root)
{
    std::vector<pid_t> todo{root};
    while (!todo.empty()) {
        pid_t p = todo.back();
        todo.pop_back();
        for (pid_t c : child_processes(p)) {
            if (read_file("/proc/" + std::to_string(c) + "/comm") == "tavex-icapd\n")
                return c;
            todo.push_back(c);
        }
    }
    return -1;
}

// The account's supplementary groups as /proc shows them ("65534 " or
// "4 65534 ": each followed by a blank), in ascending order.
std::string groups_of(const char *user, gid_t gid)
{
    gid_t groups[64];
    int n = 64;
    if (getgrouplist(user, gid, groups, &n) < 0)
        return "?";
    std::sort(groups, groups + n);
    std::string s;
    for (int i = 0; i < n; ++i)
        s += std::to_string(groups[i]) + " ";
    return s;
}

}  // namespace

TEST(privileges, started_as_root_the_daemon_serves_as_the_user_account)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root";
    struct passwd *pw = getpwnam("nobody");
    if (!pw)
        GTEST_SKIP() << "no account nobody";
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    const std::string ids = std::to_string(uid) + "\t" + std::to_string(uid) + "\t" + std::to_string(uid) + "\t" +
                            std::to_string(uid);
    const std::string gids = std::to_string(gid) + "\t" + std::to_string(gid) + "\t" + std::to_string(gid) + "\t" +
                             std::to_string(gid);
    const std::string groups = groups_of("nobody", gid);

    for (bool by_process_1 : {false, true}) {
        SCOPED_TRACE(by_process_1 ? "started by process 1" : "detached");
        temp_dir dir;
        chmod(dir.path().c_str(), 0755);  // the account walks into it
        int port = free_tcp_port();
        std::string config = base_config(dir.path(), port) + "User = nobody\nPidFile = \"" + dir / "run/icapd.pid" +
                             "\"\n";
        mkdir((dir / "run").c_str(), 0755);
        ASSERT_EQ(chown((dir / "run").c_str(), uid, gid), 0);
        ASSERT_EQ(chown(dir.path().c_str(), 0, 0), 0);
        ASSERT_EQ(chown((dir / "cache").c_str(), uid, gid), 0);
        write_file(dir / "c.ini", config);

        pid_t pid = -1;
        pid_t starter = -1;
        if (by_process_1) {
            // The shell is process 1 of a new PID namespace; the daemon
            // is its child and stays in the foreground.
            starter = fork();
            ASSERT_GE(starter, 0);
            if (starter == 0) {
                execl("/usr/bin/unshare", "unshare", "--pid", "--fork", "--kill-child", "/bin/sh", "-c",
                      (std::string(TVX_DAEMON_PATH) + " -f " + dir / "c.ini" + " & wait").c_str(),
                      static_cast<char *>(nullptr));
                _exit(127);
            }
            ASSERT_TRUE(eventually([&] { return (pid = find_daemon_below(starter)) > 0; }));
            EXPECT_EQ(status_field(pid, "NSpid").substr(status_field(pid, "NSpid").rfind('\t') + 1), "2");
        } else {
            run_result r = run_program({TVX_DAEMON_PATH, "-f", dir / "c.ini"}, "", 30);
            ASSERT_EQ(r.status, 0) << r.err;
            ASSERT_TRUE(eventually([&] { return !read_file(dir / "run/icapd.pid").empty(); }));
            pid = std::stoi(read_file(dir / "run/icapd.pid"));
        }
        ASSERT_TRUE(eventually([&] { return read_file(dir / "icapd.log").find("Start Tavex") != std::string::npos; }))
            << read_file(dir / "icapd.log");

        EXPECT_EQ(status_field(pid, "Uid"), ids);
        EXPECT_EQ(status_field(pid, "Gid"), gids);
        EXPECT_EQ(status_field(pid, "Groups"), groups);
        struct stat st;
        ASSERT_EQ(stat((dir / "icapd.log").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, uid);
        EXPECT_EQ(st.st_gid, gid);

        // It serves, and its temp files belong to the account.
        icap_conn c;
        ASSERT_TRUE(c.connect(port));
        icap_reply r;
        ASSERT_TRUE(c.send(options_request) && c.read_reply(r));
        EXPECT_EQ(r.status, 200);
        std::string hdr = "HTTP/1.1 200 OK\r\n\r\n";
        ASSERT_TRUE(c.send("RESPMOD icap://127.0.0.1/avscan ICAP/1.0\r\nEncapsulated: res-hdr=0, res-body=" +
                           std::to_string(hdr.size()) + "\r\n\r\n" + hdr + "10\r\n0123"));
        ASSERT_TRUE(eventually([&] { return list_dir(dir / "cache").size() == 1; }));
        ASSERT_EQ(stat((dir / "cache/" + list_dir(dir / "cache")[0]).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, uid);
        EXPECT_EQ(st.st_gid, gid);
        c.close();

        kill(pid, SIGTERM);
        EXPECT_TRUE(eventually([&] { return kill(pid, 0) != 0 || status_field(pid, "State").rfind("Z", 0) == 0; }));
        if (starter > 0) {
            kill(starter, SIGTERM);
            int status;
            waitpid(starter, &status, 0);
        }
    }
}
