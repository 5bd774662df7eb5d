// tavexd with its clamd engine, driven through its sockets while a private
// clamd judges: clean, infected (whole over both transports, by path, inside
// archives), over clamd's limits, clamd down and back, commands 3 and 4, reload.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "support/clamd_process.h"
#include "support/tavexd_process.h"
#include "tavexd/tvd_eicar.h"

using namespace tvx_test;

namespace {

const uint32_t OPT_NO_CURE = 0x8040000A;
const uint32_t CODE_INFECTED = 0x20, CODE_ARCHIVE = 0x46000, CODE_DAEMON_ERROR = 0x8017, CODE_OK = 0x100000;
const uint32_t CODE_CURED = 0x100;
const char samples[] = "/usr/share/clamav-testfiles";

std::string be32(uint32_t v)
{
    uint32_t n = htonl(v);
    return std::string(reinterpret_cast<const char *>(&n), 4);
}

// A scan-protocol client on tavexd's Unix socket; every wait ends after 20 s.
class scan_client {
public:
    explicit scan_client(const std::string &sock)
    {
        struct sockaddr_un sun;
        memset(&sun, 0, sizeof sun);
        sun.sun_family = AF_UNIX;
        strncpy(sun.sun_path, sock.c_str(), sizeof sun.sun_path - 1);
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct timeval tv = {20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (connect(fd_, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~scan_client()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    struct reply {
        bool ok = false;
        uint32_t code = 0;
        std::vector<std::string> names, lines;
    };

    reply scan_whole(const std::string &body)
    {
        return scan(be32(1) + be32(OPT_NO_CURE) + be32(0) + be32(0) + be32(static_cast<uint32_t>(body.size())) + body);
    }
    reply scan_path(const std::string &path)
    {
        return scan(be32(1) + be32(OPT_NO_CURE) + be32(0) + be32(static_cast<uint32_t>(path.size())) + path + be32(0));
    }
    // Command 3: base names and counts; false when there was no reply.
    bool bases(std::vector<std::pair<std::string, uint32_t>> &out)
    {
        uint32_t n, count;
        std::string name;
        if (!send(be32(3)) || !u32(n) || n > 64)
            return false;
        for (uint32_t i = 0; i < n; ++i) {
            if (!text(name) || !u32(count))
                return false;
            out.emplace_back(name, count);
        }
        return true;
    }
    bool info(std::string &out) { return send(be32(4)) && text(out); }

private:
    int fd_ = -1;

    bool send(const std::string &data)
    {
        size_t done = 0;
        while (fd_ >= 0 && done < data.size()) {
            ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return fd_ >= 0;
    }
    bool read(size_t len, std::string &out)
    {
        out.assign(len, '\0');
        for (size_t got = 0; got < len;) {
            ssize_t n = recv(fd_, &out[got], len - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }
    bool u32(uint32_t &v)
    {
        std::string b;
        if (!read(4, b))
            return false;
        memcpy(&v, b.data(), 4);
        v = ntohl(v);
        return true;
    }
    bool text(std::string &out)
    {
        uint32_t len;
        return u32(len) && len <= 65536 && read(len, out);
    }
    reply scan(const std::string &request)
    {
        reply r;
        uint32_t n;
        if (!send(request) || !u32(r.code) || !u32(n) || n > 64)
            return r;
        r.names.resize(n);
        for (std::string &s : r.names)
            if (!text(s))
                return r;
        if (!u32(n) || n > 64)
            return r;
        r.lines.resize(n);
        for (std::string &s : r.lines)
            if (!text(s))
                return r;
        r.ok = true;
        return r;
    }
};

std::string hex(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof b, "%#x", v);
    return b;
}

std::string joined(const std::vector<std::string> &lines)
{
    std::string out;
    for (const std::string &l : lines)
        out += l + "\n";
    return out;
}

// One clamd and one tavexd using it at the given transport.
class TavexdClamdTest : public ::testing::TestWithParam<bool> {
protected:
    clamd_process clamd;
    tavexd_process tavexd;
    temp_dir work;
    bool over_unix = GetParam();

    void SetUp() override
    {
        ASSERT_TRUE(clamd.start(64 * 1024)) << clamd.log_text();
        ASSERT_TRUE(tavexd.start({"--engine", "clamd", "--clamd", address(), "--timeout", "10", "-v"}))
            << tavexd.stderr_text();
    }
    pid_t tavexd_pid() const { return atoi(read_file(tavexd.pid_file()).c_str()); }
    std::string address() const { return over_unix ? clamd.local_address() : clamd.inet_address(); }
    std::string context(const scan_client::reply &r) const
    {
        return "code " + hex(r.code) + "\n" + joined(r.lines) + tavexd.stderr_text();
    }
};

struct scan_case {
    const char *what;
    bool whole;          // sent whole, else by path
    std::string body;    // whole: the body; path: a file written with it
    const char *sample;  // or a file of clamav-testfiles
    uint32_t code;       // the one bit expected
    const char *name;    // threat name, or null
};

TEST_P(TavexdClamdTest, VerdictsOfObjects)
{
    const std::string eicar = tvd_eicar();
    const std::string big(100 * 1024, 'a');  // over MaxFileSize, within StreamMaxLength
    const scan_case cases[] = {
        {"clean text whole", true, "an ordinary body, nothing in it\n", nullptr, CODE_OK, nullptr},
        {"clean text by path", false, "an ordinary body, nothing in it\n", nullptr, CODE_OK, nullptr},
        {"test string whole", true, eicar, nullptr, CODE_INFECTED, clamd_eicar_name},
        {"test string inside text whole", true, "head\n" + eicar + "\ntail\n", nullptr, CODE_INFECTED,
         clamd_eicar_name},
        {"test string by path", false, eicar, nullptr, CODE_INFECTED, clamd_eicar_name},
        {"zip by path", false, "", "clam.zip", CODE_INFECTED, clamd_sample_name},
        {"tar.gz whole", true, "", "clam.tar.gz", CODE_INFECTED, clamd_sample_name},
        {"7z whole", true, "", "clam.7z", CODE_INFECTED, clamd_sample_name},
        {"mail by path", false, "", "clam.mail", CODE_INFECTED, clamd_sample_name},
        {"over clamd's file size whole", true, big, nullptr, CODE_ARCHIVE, nullptr},
        {"over clamd's file size by path", false, big, nullptr, CODE_ARCHIVE, nullptr},
        {"over the stream limit whole", true, std::string(300 * 1024, 'b'), nullptr, CODE_ARCHIVE, nullptr},
    };
    scan_client c(tavexd.socket_path());
    int n = 0;
    for (const scan_case &k : cases) {
        SCOPED_TRACE(k.what);
        std::string body = k.sample ? read_file(std::string(samples) + "/" + k.sample) : k.body;
        ASSERT_FALSE(body.empty());
        std::string path = work / ("object" + std::to_string(n++));
        write_file(path, body);
        scan_client::reply r = k.whole ? c.scan_whole(body) : c.scan_path(path);
        ASSERT_TRUE(r.ok) << tavexd.stderr_text();
        EXPECT_NE(r.code & k.code, 0u) << context(r);
        EXPECT_EQ(r.code & CODE_CURED, 0u) << context(r);
        if (k.code != CODE_OK) {
            EXPECT_EQ(r.code & CODE_OK, 0u) << context(r);
        }
        if (k.code != CODE_INFECTED) {
            EXPECT_EQ(r.code & CODE_INFECTED, 0u) << context(r);
        }
        const std::string object = k.whole ? "/stream" : path;
        ASSERT_FALSE(r.lines.empty()) << context(r);
        EXPECT_EQ(r.lines[0].compare(0, object.size() + 1, object + "\t"), 0) << context(r);
        if (k.name) {
            ASSERT_EQ(r.names.size(), 1u) << context(r);
            EXPECT_EQ(r.names[0], std::string(k.name) + ",K");
            EXPECT_EQ(r.lines[0], object + "\tinfected with " + k.name);
        } else {
            EXPECT_TRUE(r.names.empty()) << context(r);
        }
    }
}

TEST_P(TavexdClamdTest, BasesAndInformationComeFromClamd)
{
    scan_client c(tavexd.socket_path());
    std::vector<std::pair<std::string, uint32_t>> bases;
    ASSERT_TRUE(c.bases(bases));
    ASSERT_EQ(bases.size(), 1u);
    EXPECT_EQ(bases[0].first, "clamd");
    EXPECT_GT(bases[0].second, 0u);
    std::string info;
    ASSERT_TRUE(c.info(info));
    EXPECT_EQ(info, clamd_ask(clamd.local_address().substr(6), "zVERSION"));
    EXPECT_EQ(info.compare(0, 7, "ClamAV "), 0) << info;
}

TEST_P(TavexdClamdTest, ClamdDownIsADaemonErrorAndItsReturnIsNoticed)
{
    const std::string eicar = tvd_eicar();
    scan_client c(tavexd.socket_path());
    scan_client::reply r = c.scan_whole(eicar);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.code, CODE_INFECTED) << context(r);

    clamd.stop(true);
    for (const std::string &body : {std::string("plain text\n"), eicar}) {
        r = c.scan_whole(body);
        ASSERT_TRUE(r.ok) << tavexd.stderr_text();
        EXPECT_NE(r.code & CODE_DAEMON_ERROR, 0u) << context(r);
        EXPECT_EQ(r.code & (CODE_OK | CODE_INFECTED), 0u) << context(r);
        ASSERT_EQ(r.lines.size(), 1u);
        EXPECT_NE(r.lines[0].find("read error! clamd: "), std::string::npos) << r.lines[0];
    }
    EXPECT_NE(tavexd.stderr_text().find("scan of /stream"), std::string::npos);
    std::vector<std::pair<std::string, uint32_t>> bases;
    ASSERT_TRUE(c.bases(bases));
    EXPECT_TRUE(bases.empty());

    ASSERT_TRUE(clamd.start(64 * 1024)) << clamd.log_text();
    r = c.scan_whole(eicar);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.code, CODE_INFECTED) << context(r);
    r = c.scan_whole("plain text\n");
    EXPECT_EQ(r.code, CODE_OK) << context(r);
}

TEST_P(TavexdClamdTest, HangupMakesClamdReloadItsDatabases)
{
    const std::string marker = "a marker that only the reloaded database knows about";
    {
        scan_client c(tavexd.socket_path());
        scan_client::reply r = c.scan_whole(marker);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.code, CODE_OK) << context(r);
    }
    clamd.add_signature("Tavex.Test.Marker", marker);
    ASSERT_EQ(kill(tavexd_pid(), SIGHUP), 0);
    EXPECT_TRUE(eventually([&] { return tavexd.stderr_text().find("engine reloaded: ClamAV") != std::string::npos; }))
        << tavexd.stderr_text();
    // clamd answers RELOADING at once and swaps its databases when loaded.
    EXPECT_TRUE(eventually([&] {
        scan_client c(tavexd.socket_path());
        return c.scan_whole(marker).code == CODE_INFECTED;
    })) << clamd.log_text();
}

INSTANTIATE_TEST_SUITE_P(Transports, TavexdClamdTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "Fildes" : "Instream"; });

TEST(TavexdClamdStart, BadEngineOrAddressIsRefused)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--engine", "clamd"},
        {"--engine", "other", "--clamd", "local:/tmp/x.ctl"},
        {"--engine", "clamd", "--clamd", "nowhere"},
        {"--engine", "clamd", "--clamd", "inet:"},
    };
    for (const std::vector<std::string> &args : cases) {
        tavexd_process t;
        EXPECT_FALSE(t.start(args)) << args[1] << " " << (args.size() > 3 ? args[3] : "");
    }
}

}  // namespace
