// Test helper: the HTTP side of the end-to-end tests with a real Squid: an
// origin server of the test's own on a loopback port, and Squid in the
// foreground with its REQMOD and RESPMOD services pointing at an ICAP port.
// Starts and stops only what it owns.
#ifndef TVX_TESTS_SUPPORT_SQUID_FIXTURE_H
#define TVX_TESTS_SUPPORT_SQUID_FIXTURE_H

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
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

namespace tvx_test {

constexpr const char *squid_path = "/usr/sbin/squid";
constexpr const char *curl_path = "/usr/bin/curl";

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
                   "adaptation_access svc_resp allow all\n"
                   // One line per ICAP transaction: the method, then the
                   // threat headers of the reply as Squid received them.
                   "logformat icap_threats %icap::rm %icap::<h{X-Infection-Found} %icap::<h{X-Response-Info}\n"
                   "icap_log " + (dir_ / "icap.log") + " icap_threats\n");
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
    // The ICAP transactions Squid has logged so far (method, X-Infection-Found,
    // X-Response-Info; "-" for a header the reply did not carry). Squid writes
    // its logs in the background: wait for the line wanted.
    std::string icap_log() const { return read_file(dir_ / "icap.log"); }

private:
    temp_dir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// Deterministic bytes of no pattern a scanner would know.
inline std::string random_bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    unsigned x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

}  // namespace tvx_test

#endif
