// Shared set-up of the scanning-client tests: a fresh configuration and
// request per test, entities in real temp files, address helpers, and a
// scripted daemon that records the exact bytes of one request and answers
// with given bytes.
#ifndef TVX_TESTS_SCAN_FIXTURE_H
#define TVX_TESTS_SCAN_FIXTURE_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "config/icapd_config.h"
#include "io/io.h"
#include "request/entity.h"
#include "request/request.h"
#include "scan/scan_state.h"
#include "scan/tvx_connect.h"
#include "scan/tvx_scan.h"
#include "scan/tvx_verdict.h"
#include "support/log_capture.h"
#include "support/support.h"
#include "support/tavexd_process.h"

namespace scan_test {

constexpr uint32_t OPTIONS_DEFAULT = 0x8040004A;  // cure and heuristic on

inline std::string be32(uint32_t v)
{
    uint32_t n = htonl(v);
    return std::string(reinterpret_cast<const char *>(&n), 4);
}

// A text as the daemon sends it: length, then the bytes.
inline std::string text32(const std::string &s) { return be32(static_cast<uint32_t>(s.size())) + s; }

inline DaemonAddress local_addr(const std::string &path)
{
    DaemonAddress a;
    a.type = DAEMON_ADDR_LOCAL;
    a.host = path;
    return a;
}

inline DaemonAddress inet_addr(int port, const std::string &host = "127.0.0.1")
{
    DaemonAddress a;
    a.type = DAEMON_ADDR_INET;
    a.serv = std::to_string(port);
    a.host = host;
    return a;
}

// A Unix-domain listener that serves one connection on a thread: reads
// request_len bytes, sends the reply, then closes (or waits for the client
// to close when keep_open).
class scripted_daemon {
public:
    explicit scripted_daemon(const std::string &path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un sun;
        memset(&sun, 0, sizeof sun);
        sun.sun_family = AF_UNIX;
        strncpy(sun.sun_path, path.c_str(), sizeof sun.sun_path - 1);
        unlink(path.c_str());
        if (bind(fd_, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) != 0 || listen(fd_, 4) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~scripted_daemon()
    {
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
        unlink(path_.c_str());
    }
    bool ok() const { return fd_ >= 0; }
    DaemonAddress address() const { return local_addr(path_); }

    void serve(size_t request_len, const std::string &reply, bool keep_open = false)
    {
        thread_ = std::thread([this, request_len, reply, keep_open] {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1)
                return;
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            char buf[65536];
            while (received_.size() < request_len) {
                struct pollfd q = {c, POLLIN, 0};
                if (poll(&q, 1, 10000) != 1)
                    break;
                size_t want = std::min(sizeof buf, request_len - received_.size());
                ssize_t r = read(c, buf, want);
                if (r <= 0)
                    break;
                received_.append(buf, static_cast<size_t>(r));
            }
            size_t off = 0;
            while (off < reply.size()) {
                ssize_t w = write(c, reply.data() + off, reply.size() - off);
                if (w <= 0)
                    break;
                off += static_cast<size_t>(w);
            }
            if (keep_open) {
                struct pollfd q = {c, POLLIN, 0};
                while (poll(&q, 1, 10000) == 1 && read(c, buf, sizeof buf) > 0) {
                }
            }
            close(c);
        });
    }
    // The bytes of the request, once the connection has been served.
    std::string received()
    {
        if (thread_.joinable())
            thread_.join();
        return received_;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::thread thread_;
    std::string received_;
};

// Fresh client state for every test; the log goes to a capture file with
// every debug bit on.
class scan_fixture : public ::testing::Test {
protected:
    tvx_test::temp_dir dir;
    std::unique_ptr<log_capture> log;

    void SetUp() override
    {
        g_config = icapd_config();
        g_config.scan_options = OPTIONS_DEFAULT;
        g_config.Infected = ACTION_PASS;
        g_config.PathToQuarantine = dir / "quarantine";
        g_config.Cache = dir.path() + "/";
        g_config.Templates = std::string(TVX_SOURCE_DIR) + "/etc/templates";
        mkdir((dir / "quarantine").c_str(), 0700);
        close_fd(g_tvx.daemon_fd);
        g_tvx.local_scan = -1;
        g_tvx.last_response_code = 0;
        g_tvx.virus_total = 0;
        g_tvx.release.clear();
        icap_request_reset(g_request);
        strcpy(g_request.url, "http://example.test/dir/file.bin");
        io_set_timeout(5);
        log.reset(new log_capture(0xFF));
    }
    void TearDown() override
    {
        close_fd(g_tvx.daemon_fd);
        icap_request_reset(g_request);
        log.reset();
        g_config = icapd_config();
        g_tvx.local_scan = -1;
    }

    // A body entity whose temp file holds data.
    icap_entity &add_body(const std::string &data, const std::string &name = "body")
    {
        icap_entity e;
        e.name = "res-body";
        e.path = dir / name;
        tvx_test::write_file(e.path, data, 0600);
        e.fd = open(e.path.c_str(), O_RDWR);
        e.size = static_cast<unsigned>(data.size());
        g_request.entities.push_back(e);
        return g_request.entities.back();
    }

    // The scan of e carried through as the request flow carries it, with
    // a page builder that builds nothing and reports page_built.
    int scan(icap_entity &e, bool page_built = true)
    {
        return tvx_verdict_run(g_request, e, tvx_scan_file(e, g_request, g_tvx.daemon_fd),
                               [page_built](const char *) { return page_built; });
    }
    // One verdict applied and its action ended (its line written), without
    // the daemon-error fallback.
    int verdict(uint32_t code, icap_entity &e)
    {
        tvx_action a = tvx_apply_verdict(code, e, g_request);
        return tvx_action_done(g_request, e, a, true);
    }

    bool logged(const std::string &message) const { return log->has(message); }
    size_t count_logged(const std::string &text) const
    {
        std::string all = log->text();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++n;
        return n;
    }
};

}  // namespace scan_test

#endif
