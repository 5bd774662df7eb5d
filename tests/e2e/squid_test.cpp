// Squid as the ICAP client, as in production: curl fetches and uploads
// through a real Squid whose REQMOD and RESPMOD services are tavex-icapd,
// with tavexd behind it and a small origin server of the test's own.
//
// Response bodies stay under 64 KB: Squid 5 (Debian 12) stops reading an
// origin's response for good when its 64 KB buffer toward a RESPMOD service
// fills before the service starts answering (Squid bug 5352, fixed in later
// Squid releases), and a scanning service answers only once it has the
// whole body. Large bodies go through REQMOD uploads instead, where Squid
// streams the client's body without that limit.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/support.h"
#include "support/tavexd_process.h"
#include "tavexd/tvd_eicar.h"

using namespace tvx_test;

namespace {

const char squid_path[] = "/usr/sbin/squid";
const char curl_path[] = "/usr/bin/curl";

// An HTTP/1.1 origin on a loopback port: GET returns the stored object,
// POST stores the request body under its path. One request per connection.
class origin_server {
public:
    origin_server()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in sin {};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sin;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || listen(fd_, 64) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&sin), &len) != 0)
            return;
        port_ = ntohs(sin.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~origin_server()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    int port() const { return port_; }
    void put(const std::string &path, const std::string &body)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        objects_[path] = body;
    }
    // The body of the last POST to path, or "(none)".
    std::string uploaded(const std::string &path)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = uploads_.find(path);
        return it == uploads_.end() ? "(none)" : it->second;
    }

private:
    void serve()
    {
        while (!stop_) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1)
                continue;
            int c = accept(fd_, nullptr, nullptr);
            if (c >= 0) {
                answer(c);
                close(c);
            }
        }
    }
    static bool read_more(int c, std::string &in)
    {
        struct pollfd p = {c, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1)
            return false;
        char buf[65536];
        ssize_t r = read(c, buf, sizeof buf);
        if (r <= 0)
            return false;
        in.append(buf, static_cast<size_t>(r));
        return true;
    }
    static void write_all(int c, const std::string &out)
    {
        size_t off = 0;
        while (off < out.size()) {
            ssize_t w = send(c, out.data() + off, out.size() - off, MSG_NOSIGNAL);
            if (w <= 0)
                return;
            off += static_cast<size_t>(w);
        }
    }
    void answer(int c)
    {
        std::string in;
        size_t end;
        while ((end = in.find("\r\n\r\n")) == std::string::npos)
            if (!read_more(c, in))
                return;
        std::string head = in.substr(0, end + 2);
        std::string body = in.substr(end + 4);
        std::string method = head.substr(0, head.find(' '));
        size_t p1 = head.find(' ') + 1;
        std::string target = head.substr(p1, head.find(' ', p1) - p1);
        std::string path = target.substr(target.find('/', target.find("//") == std::string::npos ? 0 : target.find("//") + 2));
        size_t length = 0;
        for (const char *name : {"\r\nContent-Length: ", "\r\ncontent-length: "}) {
            size_t at = head.find(name);
            if (at != std::string::npos)
                length = std::stoul(head.substr(at + strlen(name)));
        }
        while (body.size() < length)
            if (!read_more(c, body))
                return;
        std::string reply;
        std::string status = "200 OK";
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (method == "POST") {
                uploads_[path] = body;
                reply = "stored " + std::to_string(body.size()) + "\n";
            } else if (objects_.count(path)) {
                reply = objects_[path];
            } else {
                status = "404 Not Found";
            }
        }
        write_all(c, "HTTP/1.1 " + status + "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                         std::to_string(reply.size()) + "\r\nConnection: close\r\n\r\n" + reply);
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::string> objects_;
    std::map<std::string, std::string> uploads_;
};

// Squid in the foreground (-N) on a free port, its REQMOD and RESPMOD
// services pointing at icap_port, files in a directory of its own that the
// account Squid switches to when started as root can write.
class squid_process {
public:
    ~squid_process() { stop(SIGKILL); }
    void stop(int sig = SIGTERM)
    {
        if (pid_ > 0) {
            kill(pid_, sig);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    bool start(int icap_port)
    {
        chmod(dir_.path().c_str(), 0777);
        port_ = free_tcp_port();
        std::string icap = "icap://127.0.0.1:" + std::to_string(icap_port) + "/avscan";
        write_file(dir_ / "squid.conf",
                   "http_port 127.0.0.1:" + std::to_string(port_) + "\n" +
                   "pid_filename " + (dir_ / "squid.pid") + "\n" +
                   "cache_log " + (dir_ / "cache.log") + "\n" +
                   "access_log none\n"
                   "cache deny all\n"
                   "cache_mem 4 MB\n"
                   "coredump_dir " + dir_.path() + "\n" +
                   "visible_hostname localhost\n"
                   "pinger_enable off\n"
                   "http_access allow all\n"
                   "shutdown_lifetime 0 seconds\n"
                   "icap_enable on\n"
                   "icap_preview_enable on\n"
                   "icap_persistent_connections on\n"
                   "icap_service svc_req reqmod_precache bypass=0 " + icap + "\n" +
                   "icap_service svc_resp respmod_precache bypass=0 " + icap + "\n" +
                   "adaptation_access svc_req allow all\n"
                   "adaptation_access svc_resp allow all\n");
        pid_ = fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            std::string out = dir_ / "squid.out";
            freopen(out.c_str(), "w", stdout);
            freopen(out.c_str(), "a", stderr);
            execl(squid_path, squid_path, "-N", "-f", (dir_ / "squid.conf").c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        return eventually([this] {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            struct sockaddr_in sin {};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(static_cast<uint16_t>(port_));
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0;
            close(fd);
            return ok;
        }, 20000);
    }
    int port() const { return port_; }
    std::string cache_log() const { return read_file(dir_ / "cache.log") + read_file(dir_ / "squid.out"); }

private:
    temp_dir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

std::string random_bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    unsigned x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

class SquidFlow : public ::testing::Test {
protected:
    tavexd_process scanner;
    daemon_process icapd;
    origin_server origin;
    squid_process squid;
    temp_dir work;

    void start(const std::string &extra = "")
    {
        ASSERT_TRUE(file_exists(squid_path)) << "squid is not installed (scripts/deps.sh installs it)";
        ASSERT_TRUE(file_exists(curl_path)) << "curl is not installed (scripts/deps.sh installs it)";
        ASSERT_GT(origin.port(), 0);
        ASSERT_TRUE(scanner.start()) << scanner.stderr_text();
        ASSERT_TRUE(icapd.start("TavexAddress = " + scanner.local_address() +
                                "\nKeepAlive = yes\nUsePreview = yes\nLogLevel = 35\n" + extra))
            << icapd.stderr_text();
        ASSERT_TRUE(squid.start(icapd.port())) << squid.cache_log();
    }
    std::string url(const std::string &path) const
    {
        return "http://127.0.0.1:" + std::to_string(origin.port()) + path;
    }
    // curl through Squid; the body received lands in out, the HTTP status is returned.
    std::string curl(const std::vector<std::string> &extra, const std::string &path, std::string &out)
    {
        std::string file = work / "reply";
        std::vector<std::string> argv = {curl_path, "-s", "-S", "--max-time", "60", "-x",
                                         "http://127.0.0.1:" + std::to_string(squid.port()), "-o", file,
                                         "-w", "%{http_code}"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(url(path));
        run_result r = run_program(argv, "", 90);
        out = file_exists(file) ? read_file(file) : "";
        unlink(file.c_str());
        return r.status == 0 ? r.out : "curl failed: " + r.err;
    }
    bool cache_empties()
    {
        return eventually([this] { return list_dir(icapd.cache_dir()).empty(); }, 5000);
    }
};

TEST_F(SquidFlow, DownloadsPassByteForByteAndAVirusIsCured)
{
    start();
    struct {
        const char *path;
        std::string body;
        std::string expected;  // what the browser gets: the body, or its cure
    } cases[] = {
        {"/small.txt", "hello, proxy\n", "hello, proxy\n"},  // Squid may accept a 204
        {"/empty.bin", "", ""},
        {"/random.bin", random_bytes(60000, 7), ""},  // sent back whole in a 200 or a 204
        {"/eicar.com", tvd_eicar(), ""},
        {"/page.html", "<html>" + tvd_eicar() + "</html>", "<html></html>"},
    };
    cases[2].expected = cases[2].body;
    for (auto &c : cases)
        origin.put(c.path, c.body);
    for (auto &c : cases) {
        std::string got;
        ASSERT_EQ(curl({}, c.path, got), "200") << c.path << "\n" << squid.cache_log();
        EXPECT_EQ(got.size(), c.expected.size()) << c.path;
        EXPECT_TRUE(got == c.expected) << c.path;
    }
    EXPECT_TRUE(icapd.wait_log("viruses:[EICAR-Test-File]"));
    EXPECT_TRUE(cache_empties());
}

TEST_F(SquidFlow, WithoutCureAVirusGetsTheAccessDeniedPageBothWays)
{
    start("Infected = report\n");
    origin.put("/eicar.com", tvd_eicar());
    std::string got;
    EXPECT_EQ(curl({}, "/eicar.com", got), "200");
    EXPECT_NE(got.find("EICAR-Test-File"), std::string::npos) << got.substr(0, 400);
    EXPECT_EQ(got.find(tvd_eicar()), std::string::npos);

    // Uploads go through REQMOD: a clean one reaches the origin intact, an
    // infected one never does.
    std::string clean = random_bytes(3 * 1024 * 1024 + 17, 3);  // streamed after "100 Continue"
    write_file(work / "clean.bin", clean);
    write_file(work / "eicar.com", tvd_eicar());
    EXPECT_EQ(curl({"--data-binary", "@" + (work / "clean.bin"), "-H", "Content-Type: application/octet-stream"},
                   "/up/clean", got),
              "200");
    EXPECT_EQ(got, "stored " + std::to_string(clean.size()) + "\n");
    EXPECT_TRUE(origin.uploaded("/up/clean") == clean);

    curl({"--data-binary", "@" + (work / "eicar.com"), "-H", "Content-Type: application/octet-stream"}, "/up/eicar",
         got);
    EXPECT_NE(got.find("EICAR-Test-File"), std::string::npos) << got.substr(0, 400);
    EXPECT_EQ(origin.uploaded("/up/eicar"), "(none)");
    EXPECT_TRUE(cache_empties());
}

TEST_F(SquidFlow, ManyRequestsKeepTheServiceUp)
{
    start();
    // Squid suspends a service after repeated failures; a run of downloads
    // over its persistent ICAP connections must leave no failure behind.
    std::string body = random_bytes(50 * 1024, 11);
    origin.put("/obj.bin", body);
    for (int i = 0; i < 30; ++i) {
        std::string got;
        ASSERT_EQ(curl({}, "/obj.bin", got), "200") << "request " << i;
        ASSERT_TRUE(got == body) << "request " << i;
    }
    std::string log = squid.cache_log();
    for (const char *bad : {"suspend", "ICAP service is down", "ERR_ICAP_FAILURE", "essential ICAP service"})
        EXPECT_EQ(log.find(bad), std::string::npos) << bad << "\n" << log;
    EXPECT_TRUE(cache_empties());
    // Squid kept its ICAP connections: 60 transactions (a REQMOD and a
    // RESPMOD per download) were served by a handful of connection processes.
    size_t processes = count_of(icapd.log(), "Start child process\n");
    EXPECT_GE(processes, 1u);
    EXPECT_LT(processes, 10u);
}

}  // namespace
