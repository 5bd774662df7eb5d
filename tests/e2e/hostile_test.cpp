// The real binary against hostile or broken surroundings: a local user who
// swaps a body's temp file for a symbolic link while it is being scanned, a
// reply that fails once its head has gone out, a Cache on a full file
// system, and a huge match expression.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/support.h"

using namespace tvx_test;

namespace {

std::string be32(uint32_t v)
{
    uint32_t n = htonl(v);
    return std::string(reinterpret_cast<const char *>(&n), 4);
}

// A scanning daemon of the test's own on a Unix socket: answers the virus
// bases and information commands, and every scan with a fixed code after
// running a hook (the hostile part) with the scanned path (empty for a
// body sent whole). With cured set it sends that body back.
class fake_scanner {
public:
    fake_scanner(const std::string &path, uint32_t code, std::function<void(const std::string &)> hook,
                 const std::string &cured = "", bool send_cured = false)
        : path_(path), code_(code), hook_(std::move(hook)), cured_(cured), send_cured_(send_cured)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        strncpy(sun.sun_path, path.c_str(), sizeof sun.sun_path - 1);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0 || listen(fd_, 16) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~fake_scanner()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
        unlink(path_.c_str());
    }
    bool ok() const { return fd_ >= 0; }
    int scans() const { return scans_; }

private:
    static bool read_all(int c, void *buf, size_t n)
    {
        char *p = static_cast<char *>(buf);
        while (n > 0) {
            struct pollfd q = {c, POLLIN, 0};
            if (poll(&q, 1, 10000) != 1)
                return false;
            ssize_t r = read(c, p, n);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    static bool read_u32(int c, uint32_t &v)
    {
        if (!read_all(c, &v, 4))
            return false;
        v = ntohl(v);
        return true;
    }
    static void write_all(int c, const std::string &s)
    {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t w = write(c, s.data() + off, s.size() - off);
            if (w <= 0)
                return;
            off += static_cast<size_t>(w);
        }
    }
    // One connection: commands until it ends. False once it must close.
    bool command(int c)
    {
        uint32_t cmd;
        if (!read_u32(c, cmd))
            return false;
        if (cmd == 3) {
            write_all(c, be32(0));
            return true;
        }
        if (cmd == 4) {
            write_all(c, be32(11) + "hostile 1.0");
            return true;
        }
        uint32_t options, zero, plen, dlen;
        if (cmd != 1 || !read_u32(c, options) || !read_u32(c, zero) || !read_u32(c, plen) || plen > 4096)
            return false;
        std::string path(plen, '\0');
        if (plen && !read_all(c, &path[0], plen))
            return false;
        if (!read_u32(c, dlen))
            return false;
        std::string data(dlen, '\0');
        if (dlen && !read_all(c, &data[0], dlen))
            return false;
        ++scans_;
        hook_(path);
        write_all(c, be32(code_) + be32(1) + be32(9) + "Bad.Thing" + be32(0));
        if (send_cured_) {
            write_all(c, be32(static_cast<uint32_t>(cured_.size())) + cured_);
            return false;  // a cured body ends with the stream
        }
        return true;
    }
    void serve()
    {
        while (!stop_) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1)
                continue;
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                continue;
            std::thread([this, c] {
                while (!stop_ && command(c)) {
                }
                ::close(c);
            }).detach();
        }
    }

    std::string path_;
    uint32_t code_;
    std::function<void(const std::string &)> hook_;
    std::string cured_;
    bool send_cured_;
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> scans_{0};
};

const std::string res_hdr = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 11\r\n\r\n";

std::string respmod(const std::string &body, const std::string &hdr = res_hdr)
{
    return "RESPMOD icap://127.0.0.1/avscan ICAP/1.0\r\nEncapsulated: res-hdr=0, res-body=" +
           std::to_string(hdr.size()) + "\r\n\r\n" + hdr + chunked(body);
}

// Reads everything until the peer closes (or 10 s pass).
std::string read_to_close(int fd)
{
    std::string all;
    char buf[65536];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1)
            break;
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0)
            break;
        all.append(buf, static_cast<size_t>(r));
    }
    return all;
}

}  // namespace

// While the body is being scanned a local user replaces its temp file by a
// symbolic link to a file of the daemon's account. Whatever the action,
// the daemon works on the file it holds and never writes, empties or
// changes the mode of the link's target.
TEST(hostile, symlink_planted_in_cache_during_the_scan_is_never_followed)
{
    struct {
        const char *what;
        const char *keys;
        uint32_t code;
        bool send_cured;
        bool expect_page;
    } cases[] = {
        {"report", "LocalScan = yes\nIncurable = report\n", 0x20, false, true},
        {"truncate", "LocalScan = yes\nIncurable = truncate\n", 0x20, false, false},
        {"move", "LocalScan = yes\nIncurable = move\n", 0x20, false, true},
        {"move, whole file", "LocalScan = no\nIncurable = move\n", 0x20, false, true},
        {"cure, whole file", "LocalScan = no\nInfected = cure\n", 0x120, true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        daemon_process d;
        const std::string victim = d.dir() / "precious";
        write_file(victim, "precious contents", 0640);
        const std::string cache = d.dir() / "cache";
        // The swap: the temp file moves aside, a link to the victim takes its name.
        auto swap = [&](const std::string &scanned) {
            std::string path = scanned;
            if (path.empty()) {  // a body sent whole: find it in Cache
                std::vector<std::string> names = list_dir(cache);
                if (names.size() != 1)
                    return;
                path = cache + "/" + names[0];
            }
            if (rename(path.c_str(), (path + ".aside").c_str()) == 0)
                symlink(victim.c_str(), path.c_str());
        };
        fake_scanner scanner(d.dir() / "scan.sock", c.code, swap, "CURED BODY", c.send_cured);
        ASSERT_TRUE(scanner.ok());
        ASSERT_TRUE(d.start(std::string(c.keys) + "TavexAddress = local:" + d.dir() / "scan.sock" + "\n"))
            << d.stderr_text();
        icap_conn conn;
        ASSERT_TRUE(conn.connect(d.port()));
        icap_reply r;
        ASSERT_TRUE(conn.send(respmod("infected!!!")));
        ASSERT_TRUE(conn.read_reply(r)) << d.log();
        EXPECT_EQ(scanner.scans(), 1);
        EXPECT_EQ(r.status, 200);
        if (c.expect_page)
            EXPECT_NE(r.body.find("<!DOCTYPE html>"), std::string::npos) << r.body.substr(0, 200);
        else if (c.send_cured)
            EXPECT_EQ(r.body, "CURED BODY");
        else
            EXPECT_EQ(r.body, "");

        EXPECT_EQ(read_file(victim), "precious contents");
        struct stat st;
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        // No link ends up in quarantine either.
        for (const std::string &name : list_dir(d.dir() / "quarantine")) {
            struct stat q;
            ASSERT_EQ(lstat((d.dir() / "quarantine/" + name).c_str(), &q), 0);
            EXPECT_TRUE(S_ISREG(q.st_mode)) << name;
        }
    }
}

// The temp file of a large echo shrinks under the daemon while the client
// is not reading: the reply cannot be completed. The connection is closed
// after the part that went out; nothing else is written into the stream.
TEST(hostile, reply_that_fails_after_its_head_went_out_closes_the_connection)
{
    daemon_process d;
    ASSERT_TRUE(d.start("MaxBlocksize = 1m\n")) << d.stderr_text();
    const std::string body(16 << 20, 'e');
    std::string hdr = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    ASSERT_TRUE(conn.send(respmod(body, hdr)));
    // The daemon has the whole body and is stuck writing the reply.
    std::string file;
    ASSERT_TRUE(eventually([&] {
        std::vector<std::string> names = list_dir(d.cache_dir());
        if (names.size() != 1)
            return false;
        file = d.cache_dir() + "/" + names[0];
        struct stat st;
        return stat(file.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == body.size();
    }));
    usleep(300 * 1000);
    ASSERT_EQ(truncate(file.c_str(), 4 << 20), 0);

    std::string all = read_to_close(conn.fd());
    EXPECT_EQ(count_of(all, "ICAP/1.0 "), 1u) << all.substr(0, 200);
    EXPECT_EQ(all.find("0\r\n\r\n", all.size() > 7 ? all.size() - 7 : 0), std::string::npos);  // no last chunk
    EXPECT_LT(all.size(), body.size());
    EXPECT_TRUE(d.running());
    EXPECT_TRUE(eventually([&] { return list_dir(d.cache_dir()).empty(); }));
}

// Cache on a small file system that fills up: a body that does not fit is
// read to its end and answered 500 with one log line, the next request is
// served as usual, and the daemon serves normally once space returns.
TEST(hostile, full_cache_file_system_gives_a_defined_reply_and_serves_on)
{
    if (getuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    daemon_process d;
    const std::string cache = d.dir() / "cache";
    mkdir(cache.c_str(), 0700);
    if (mount("tvx-test", cache.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here: " << strerror(errno);
    struct unmount {
        std::string dir;
        ~unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount_at_end{cache};
    ASSERT_TRUE(d.start()) << d.stderr_text();
    icap_conn conn;
    ASSERT_TRUE(conn.connect(d.port()));
    const std::string big(2 << 20, 'b'), small(10000, 's');
    std::string hdr = "HTTP/1.1 200 OK\r\n\r\n";
    const std::string istag = "\r\nISTAG: \"tavex-icapd6.0=0\"\r\n\r\n";
    icap_reply r;

    // Too large for the file system, twice on one connection.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(conn.send(respmod(big, hdr)));
        ASSERT_TRUE(conn.read_reply(r)) << d.log();
        EXPECT_EQ(r.raw, "ICAP/1.0 500 Server Error\r\nEncapsulated: null-body=0" + istag);
    }
    ASSERT_TRUE(conn.send(respmod(small, hdr)));
    ASSERT_TRUE(conn.read_reply(r));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, small);
    EXPECT_EQ(count_of(d.log(), " ERROR "), 2u) << d.log();  // one line per failed request
    EXPECT_EQ(count_of(d.log(), "ERROR http_read_chunk: fwrite return error\n"), 2u);

    // Someone else fills it up; then the space returns.
    std::string filler = cache + "/filler";
    {
        int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
        std::string block(65536, 'f');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        close(fd);
    }
    ASSERT_TRUE(conn.send(respmod(small, hdr)));
    ASSERT_TRUE(conn.read_reply(r));
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(count_of(d.log(), " ERROR "), 3u) << d.log();
    unlink(filler.c_str());
    ASSERT_TRUE(conn.send(respmod(small, hdr)));
    ASSERT_TRUE(conn.read_reply(r));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, small);
    EXPECT_TRUE(list_dir(cache).empty());
}

// A match expression of four thousand alternatives loads in bounded memory
// when the compiled-expression listing is not logged; its outline grows
// with the square of its depth and is built only for LogLevel 32.
TEST(hostile, huge_match_expression_loads_without_building_its_listing)
{
    temp_dir dir;
    std::string expr;
    for (int i = 0; i < 4000; ++i)
        expr += (i ? " || " : "") + std::string("request_url == \"http://h") + std::to_string(i) + ".test/\"";
    write_file(dir / "c.ini", base_config(dir.path(), free_tcp_port()) + "[match]\nif " + expr +
                                  " {\n    BlockAll = yes\n}\n");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(TVX_DAEMON_PATH, TVX_DAEMON_PATH, "--check-only", "-f", (dir / "c.ini").c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    ASSERT_EQ(wait4(pid, &status, 0, &ru), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(ru.ru_maxrss, 150 * 1024) << "peak resident size in KiB";
}
