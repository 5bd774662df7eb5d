// tavex-agent driven through its real sockets by a minimal client of the
// agent protocol: the configuration exchange byte for byte, rereads on
// SIGHUP, statistics records and their JSON lines, requests it refuses,
// every fault switch, the time-out, the pid file and the command line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/agent_process.h"
#include "tavex-agent/agt_limits.h"

namespace {

using tvx_test::agent_process;

std::string be32(uint32_t v)
{
    uint32_t n = htonl(v);
    return std::string(reinterpret_cast<const char *>(&n), 4);
}

std::string text(const std::string &s) { return be32(static_cast<uint32_t>(s.size())) + s; }

// What the daemon sends to fetch its configuration.
std::string config_request(uint32_t pid, const std::string &name = "tavex-icapd")
{
    return be32(0x2003) + be32(1) + be32(51) + text(name) + be32(pid);
}

// The agent's whole answer to it.
std::string config_answer(const std::string &config, uint32_t status = 2)
{
    return be32(status) + be32(1) + be32(0) + be32(0) + text(config);
}

struct threat {
    std::string name;
    uint32_t type;
};

// A statistics record as the daemon sends it; a kind 4 record names each
// threat again after the URL (url_names, or the threat names when empty).
std::string stat_record(uint32_t kind, const std::string &quarantine, const std::vector<threat> &threats,
                        const std::string &url = "", std::vector<std::string> url_names = {})
{
    std::string r = be32(0x2004) + be32(kind) + text(quarantine) + be32(static_cast<uint32_t>(threats.size()));
    for (const threat &t : threats)
        r += text(t.name) + be32(t.type);
    if (kind != 4)
        return r;
    if (url_names.empty())
        for (const threat &t : threats)
            url_names.push_back(t.name);
    r += be32(1) + text(url) + be32(static_cast<uint32_t>(url_names.size()));
    for (const std::string &n : url_names)
        r += text(n);
    return r;
}

// The client end of one connection; every wait gives up after ten seconds
// so that a broken agent fails the test instead of hanging it.
class client {
public:
    explicit client(const std::string &path)
    {
        struct sockaddr_un sun;
        memset(&sun, 0, sizeof sun);
        sun.sun_family = AF_UNIX;
        strncpy(sun.sun_path, path.c_str(), sizeof sun.sun_path - 1);
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        guard();
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) != 0)
            reset();
    }
    explicit client(int port)
    {
        struct sockaddr_in sin;
        memset(&sin, 0, sizeof sin);
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        guard();
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0)
            reset();
    }
    ~client() { reset(); }
    client(const client &) = delete;
    client &operator=(const client &) = delete;

    bool connected() const { return fd_ >= 0; }
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

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

    // Half-closes: the agent reads the end of the stream.
    void end_sending()
    {
        if (fd_ >= 0)
            shutdown(fd_, SHUT_WR);
    }

    // Exactly len bytes, or what came before the end of the stream.
    std::string read(size_t len)
    {
        std::string out;
        char buf[65536];
        while (fd_ >= 0 && out.size() < len) {
            size_t want = len - out.size() < sizeof buf ? len - out.size() : sizeof buf;
            ssize_t n = recv(fd_, buf, want, 0);
            if (n <= 0)
                break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    // Everything up to the end of the stream; "<open>" appended when the
    // stream was still open after ten seconds.
    std::string rest()
    {
        std::string out;
        char buf[65536];
        for (;;) {
            ssize_t n = fd_ < 0 ? 0 : recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                out.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                out += "<open>";
            return out;
        }
    }

    // True when nothing arrives within ms and the connection stays open.
    bool silent_for(int ms)
    {
        struct pollfd p = {fd_, POLLIN, 0};
        return fd_ >= 0 && poll(&p, 1, ms) == 0;
    }

private:
    void guard()
    {
        struct timeval tv = {10, 0};
        if (fd_ < 0)
            return;
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    int fd_ = -1;
};

// One whole configuration exchange over the agent's Unix socket.
std::string fetch(const agent_process &a, uint32_t pid = 4242)
{
    client c(a.socket_path());
    if (!c.send(config_request(pid)))
        return "<send failed>";
    return c.rest();
}

// Sends one statistics record over the agent's Unix socket; returns every
// byte of the answer.
std::string send_stat(const agent_process &a, const std::string &record)
{
    client c(a.socket_path());
    if (!c.send(record))
        return "<send failed>";
    return c.rest();
}

TEST(AgentConfig, ServesTheFileByteForByteOnEitherSocket)
{
    const std::string cases[] = {
        "",
        "LogLevel = 3\n",
        std::string("nul \0, cr \r, bytes \xff\x80 and no final newline", 40),
        std::string(1 << 20, 'k') + "\n",
    };
    for (const std::string &config : cases) {
        agent_process a;
        ASSERT_TRUE(a.start(config));
        EXPECT_EQ(fetch(a, 4242), config_answer(config)) << config.size();
        client tcp(a.port());
        ASSERT_TRUE(tcp.send(config_request(77)));
        EXPECT_EQ(tcp.rest(), config_answer(config)) << config.size();
        std::string err = a.stderr_text();
        for (const char *pid : {"4242", "77"})
            EXPECT_NE(err.find("config: served " + std::to_string(config.size()) + " bytes to pid " + pid),
                      std::string::npos)
                << err;
    }
}

TEST(AgentConfig, HangupRereadsTheFileAndAFailedRereadKeepsTheOldText)
{
    agent_process a;
    ASSERT_TRUE(a.start("first = 1\n"));
    EXPECT_EQ(fetch(a), config_answer("first = 1\n"));
    a.rewrite_config("second = 2\n");
    EXPECT_EQ(fetch(a), config_answer("first = 1\n"));  // not before the signal
    ASSERT_TRUE(a.reload());
    EXPECT_EQ(fetch(a), config_answer("second = 2\n"));

    const std::string &path = a.config_path();
    struct {
        const char *what;
        std::function<void()> make;
        const char *reason;
    } failing[] = {
        {"gone", [&] { unlink(path.c_str()); }, "No such file or directory"},
        {"a directory", [&] { mkdir(path.c_str(), 0700); }, "not a regular file"},
        {"one byte past the bound", [&] { a.rewrite_config(std::string(AGT_CONFIG_MAX + 1, 'x')); },
         "longer than"},
    };
    for (const auto &tc : failing) {
        unlink(path.c_str());
        rmdir(path.c_str());
        tc.make();
        EXPECT_FALSE(a.reload()) << tc.what;
        std::string err = a.stderr_text();
        std::string last = err.substr(err.rfind("reload"));
        EXPECT_EQ(last.find("reload failed, old configuration kept (11 bytes)"), 0u) << tc.what << ": " << last;
        EXPECT_NE(last.find(tc.reason), std::string::npos) << tc.what << ": " << last;
        EXPECT_EQ(fetch(a), config_answer("second = 2\n")) << tc.what;
    }
    rmdir(path.c_str());
    a.rewrite_config(std::string(AGT_CONFIG_MAX, 'y'));  // at the bound
    ASSERT_TRUE(a.reload());
    EXPECT_EQ(fetch(a), config_answer(std::string(AGT_CONFIG_MAX, 'y')));
}

TEST(AgentConfig, RequestsThatAreNotTheDaemonsAreClosedUnanswered)
{
    agent_process a;
    ASSERT_TRUE(a.start("k = v\n"));
    const std::string head = be32(0x2003) + be32(1) + be32(51);
    struct {
        std::string request;
        std::string logged;
    } cases[] = {
        {be32(0x2003) + be32(2) + be32(51) + text("tavex-icapd") + be32(1), "request words are 2 and 51, not 1 and 51"},
        {be32(0x2003) + be32(1) + be32(50) + text("tavex-icapd") + be32(1), "request words are 1 and 50"},
        {config_request(1, "other-icapd"), "the client calls itself \"other-icapd\", not tavex-icapd"},
        {config_request(1, "tavex-icapd\n\x01"), "calls itself \"tavex-icapd\\u000a\\u0001\""},
        {config_request(1, std::string(AGT_TEXT_MAX, 'n')), "calls itself \"nnn"},  // read whole at the bound
        {head + be32(AGT_TEXT_MAX + 1), "a client name of 65537 bytes, more than 65536"},
        {head + be32(0xFFFFFFFFu), "a client name of 4294967295 bytes"},
        {be32(0x2005), "unknown command 8197 (0x2005); closing without a reply"},
        {be32(0), "unknown command 0 (0x0)"},
    };
    for (const auto &tc : cases) {
        client c(a.socket_path());
        ASSERT_TRUE(c.send(tc.request)) << tc.logged;
        EXPECT_EQ(c.rest(), "") << tc.logged;
        EXPECT_TRUE(tvx_test::eventually([&] { return a.stderr_text().find(tc.logged) != std::string::npos; }))
            << tc.logged << "\n" << a.stderr_text();
    }
    EXPECT_EQ(fetch(a), config_answer("k = v\n"));
}

TEST(AgentFail, EachConfigurationFaultAsDocumented)
{
    const std::string conf = "abcdefghij";  // ten bytes, cut after five
    const std::string head = be32(2) + be32(1) + be32(0);
    struct {
        const char *mode;
        std::string config;
        std::string expect;  // every byte the agent sends
        bool held;           // then it keeps the connection open
        const char *logged;
    } cases[] = {
        {"status3", conf, config_answer(conf, 3), false, "answered status 3 with 10 bytes to pid 9"},
        {"close-mid", conf, head + be32(0) + be32(10) + "abcde", false, "closed after 5 of 10 bytes to pid 9"},
        {"close-mid", "", head + be32(0) + be32(1), false, "closed after 0 of 0 bytes"},
        {"huge-block", conf, head + be32(0xFFFFFFFFu), true, "announced a length of 4294967295 to pid 9 (huge-block)"},
        {"huge-config", conf, head + be32(0) + be32(0xFFFFFFFFu), true, "(huge-config); holding the connection"},
        {"silent", conf, "", true, "held without an answer (silent)"},
    };
    for (const auto &tc : cases) {
        agent_process a;
        ASSERT_TRUE(a.start(tc.config, tc.mode)) << tc.mode;
        client c(a.socket_path());
        ASSERT_TRUE(c.send(config_request(9))) << tc.mode;
        if (tc.held) {
            EXPECT_EQ(c.read(tc.expect.size()), tc.expect) << tc.mode;
            EXPECT_TRUE(c.silent_for(300)) << tc.mode;
        } else {
            EXPECT_EQ(c.rest(), tc.expect) << tc.mode;
        }
        EXPECT_TRUE(tvx_test::eventually([&] { return a.stderr_text().find(tc.logged) != std::string::npos; }))
            << tc.mode << "\n" << a.stderr_text();
        // A held connection ends when the client goes, and SIGTERM ends
        // the agent even while one is held.
        c.reset();
        if (std::string(tc.mode) == "silent") {
            EXPECT_TRUE(tvx_test::eventually(
                [&] { return a.stderr_text().find("silent: the client closed") != std::string::npos; }));
        }
        client again(a.socket_path());
        EXPECT_TRUE(again.send(config_request(10)));
        EXPECT_EQ(a.stop(), 0) << tc.mode;
    }
}

TEST(AgentFail, StatisticsUnderEachFault)
{
    const std::string record = stat_record(3, "/q/f", {{"T", 0}});
    struct {
        const char *mode;
        std::string answer;  // "" with held: no answer, the connection kept open
        bool held;
        const char *logged;
    } cases[] = {
        {"", be32(1), false, "stat: kind 3, 1 threats\n"},
        {"reject-stat", be32(0), false, "stat: kind 3, 1 threats, rejected (reject-stat)"},
        {"status3", be32(1), false, "stat: kind 3, 1 threats\n"},
        {"close-mid", be32(1), false, "stat: kind 3, 1 threats\n"},
        {"huge-block", be32(1), false, "stat: kind 3, 1 threats\n"},
        {"huge-config", be32(1), false, "stat: kind 3, 1 threats\n"},
        {"silent", "", true, "held without an answer (silent)"},
    };
    for (const auto &tc : cases) {
        agent_process a;
        ASSERT_TRUE(a.start("c = 1\n", tc.mode)) << tc.mode;
        client c(a.socket_path());
        ASSERT_TRUE(c.send(record)) << tc.mode;
        if (tc.held) {
            EXPECT_TRUE(c.silent_for(300)) << tc.mode;
        } else {
            EXPECT_EQ(c.rest(), tc.answer) << tc.mode;
        }
        EXPECT_TRUE(tvx_test::eventually([&] { return a.stderr_text().find(tc.logged) != std::string::npos; }))
            << tc.mode << "\n" << a.stderr_text();
        // Every record read whole is written, accepted or not.
        EXPECT_EQ(a.records().size(), tc.held ? 0u : 1u) << tc.mode;
        if (std::string(tc.mode) == "reject-stat") {
            EXPECT_EQ(fetch(a), config_answer("c = 1\n"));
        }
    }
}

TEST(AgentTimeout, AQuietClientIsDroppedWithoutHoldingUpOthers)
{
    agent_process a;
    ASSERT_TRUE(a.start("t = 1\n", "", {"--timeout", "2"}));
    auto t0 = std::chrono::steady_clock::now();
    client idle(a.socket_path());                    // says nothing at all
    client half(a.socket_path());                    // stops inside the request
    ASSERT_TRUE(half.send(be32(0x2003) + be32(1)));
    EXPECT_EQ(fetch(a), config_answer("t = 1\n"));
    EXPECT_TRUE(idle.silent_for(0));  // still open: the quiet ones did not hold up the third
    EXPECT_EQ(idle.rest(), "");
    EXPECT_EQ(half.rest(), "");
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(waited, 1.9);
    EXPECT_LT(waited, 9.0);
    std::string err = a.stderr_text();
    EXPECT_NE(err.find("reading the command: timed out; closing"), std::string::npos) << err;
    EXPECT_NE(err.find("config: reading the request: timed out; closing"), std::string::npos) << err;
}

TEST(AgentStat, EachRecordBecomesOneJsonLine)
{
    agent_process a;
    ASSERT_TRUE(a.start(""));
    const std::vector<threat> eicar = {{"EICAR-Test-File", 0}};
    struct {
        std::string record;
        std::string line;
        const char *logged;
    } cases[] = {
        {stat_record(3, "/q/x", eicar),
         R"({"kind":3,"quarantine":"/q/x","threats":[{"name":"EICAR-Test-File","type":0}]})", "kind 3, 1 threats"},
        {stat_record(3, "", {}), R"({"kind":3,"quarantine":"","threats":[]})", "kind 3, 0 threats"},
        {stat_record(4, "/q/x", eicar, "example.com/x"),
         R"({"kind":4,"quarantine":"/q/x","threats":[{"name":"EICAR-Test-File","type":0}],)"
         R"("url":"example.com/x","url_threats":["EICAR-Test-File"]})",
         "kind 4, 1 threats"},
        {stat_record(4, "", {{"A", 1}, {"B", 4294967295u}}, "h/p?q=1", {"A.url", "B.url"}),
         R"({"kind":4,"quarantine":"","threats":[{"name":"A","type":1},{"name":"B","type":4294967295}],)"
         R"("url":"h/p?q=1","url_threats":["A.url","B.url"]})",
         "kind 4, 2 threats"},
        {stat_record(4, "", {}, ""), R"({"kind":4,"quarantine":"","threats":[],"url":"","url_threats":[]})",
         "kind 4, 0 threats"},
    };
    size_t n = 0;
    for (const auto &tc : cases) {
        EXPECT_EQ(send_stat(a, tc.record), be32(1)) << tc.line;
        // The line is written before the answer goes out.
        std::vector<std::string> lines = a.records();
        ASSERT_EQ(lines.size(), ++n) << tc.line;
        EXPECT_EQ(lines.back(), tc.line);
        EXPECT_NE(a.stderr_text().find(std::string("stat: ") + tc.logged), std::string::npos) << tc.logged;
    }
    client tcp(a.port());
    ASSERT_TRUE(tcp.send(cases[0].record));
    EXPECT_EQ(tcp.rest(), be32(1));
    ASSERT_TRUE(a.wait_records(n + 1));
    EXPECT_EQ(a.records().back(), cases[0].line);
}

TEST(AgentStat, OddBytesAreEscapedAndWellFormedUtf8PassesThrough)
{
    struct {
        std::string bytes;
        std::string json;  // inside the quotes
    } cases[] = {
        {"say \"hi\" \\ now", R"(say \"hi\" \\ now)"},
        {std::string("\n\r\t\x01\x1f\x7f\0.", 8), R"(\u000a\u000d\u0009\u0001\u001f\u007f\u0000.)"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xed\x9f\xbf \xef\xbf\xbf \xf4\x8f\xbf\xbf", "\xed\x9f\xbf \xef\xbf\xbf \xf4\x8f\xbf\xbf"},  // edges
        {"\x80", R"(\u0080)"},                                    // a lone continuation byte
        {"x\xc3", R"(x\u00c3)"},                                  // a lead byte at the end
        {"\xc3(", R"(\u00c3()"},                                  // a lead byte before ASCII
        {"\xe2\x82", R"(\u00e2\u0082)"},                          // a sequence cut short
        {"\xc0\xaf \xe0\x80\xaf", R"(\u00c0\u00af \u00e0\u0080\u00af)"},  // overlong forms
        {"\xed\xa0\x80", R"(\u00ed\u00a0\u0080)"},                // a surrogate
        {"\xf4\x90\x80\x80 \xf5\x80", R"(\u00f4\u0090\u0080\u0080 \u00f5\u0080)"},  // past U+10FFFF
    };
    agent_process a;
    ASSERT_TRUE(a.start(""));
    for (const auto &tc : cases) {
        ASSERT_EQ(send_stat(a, stat_record(4, tc.bytes, {{tc.bytes, 7}}, tc.bytes)), be32(1)) << tc.json;
        const std::string q = "\"" + tc.json + "\"";
        EXPECT_EQ(a.records().back(), "{\"kind\":4,\"quarantine\":" + q + ",\"threats\":[{\"name\":" + q +
                                          ",\"type\":7}],\"url\":" + q + ",\"url_threats\":[" + q + "]}");
    }
}

TEST(AgentStat, LengthsPastTheirBoundsAreRefusedUnanswered)
{
    agent_process a;
    ASSERT_TRUE(a.start(""));
    const std::string big(AGT_TEXT_MAX, 'n');
    const std::string plain = be32(0x2004) + be32(3);
    const std::string one = plain + text("/q") + be32(1) + text("T") + be32(0);
    std::string past_total = plain + text("") + be32(257);  // 257 names of 64 KiB pass 16 MiB
    for (int i = 0; i < 256; ++i)
        past_total += text(big) + be32(0);
    past_total += be32(AGT_TEXT_MAX);
    static_assert(256 * size_t(AGT_TEXT_MAX) == AGT_RECORD_MAX, "the record below sits at the bound");
    struct {
        std::string record;  // ends at the word refused, or cut short
        std::string logged;
    } refused[] = {
        {be32(0x2004) + be32(5), "stat: kind 5 is neither 3 nor 4"},
        {plain + be32(AGT_TEXT_MAX + 1), "the quarantine path of 65537 bytes, more than 65536"},
        {plain + be32(0xFFFFFFFFu), "the quarantine path of 4294967295 bytes"},
        {plain + text("") + be32(AGT_COUNT_MAX + 1), "100001 threats, more than 100000"},
        {plain + text("") + be32(1) + be32(0xFFFFFFFFu), "a threat name of 4294967295 bytes"},
        {past_total, "a threat name of 65536 bytes takes the record past 16777216 bytes of text"},
        {be32(0x2004) + be32(4) + text("") + be32(0) + be32(2), "the URL part opens with 2, not 1"},
        {be32(0x2004) + be32(4) + text("") + be32(0) + be32(1) + be32(AGT_TEXT_MAX + 1), "the URL of 65537 bytes"},
        {be32(0x2004) + be32(4) + text("") + be32(1) + text("T") + be32(0) + be32(1) + text("u") + be32(2),
         "2 URL threat names for 1 threats"},
        {be32(0x2004) + be32(4) + text("") + be32(1) + text("T") + be32(0) + be32(1) + text("u") + be32(1) +
             be32(0xFFFFFFFFu),
         "a URL threat name of 4294967295 bytes"},
        {one.substr(0, one.size() - 6), "stat: reading a threat name: closed by the peer"},
    };
    for (const auto &tc : refused) {
        client c(a.socket_path());
        ASSERT_TRUE(c.send(tc.record)) << tc.logged;
        c.end_sending();  // a record cut short must end at the stream's end, not at the time-out
        EXPECT_EQ(c.rest(), "") << tc.logged;
        EXPECT_TRUE(tvx_test::eventually([&] { return a.stderr_text().find(tc.logged) != std::string::npos; }))
            << tc.logged << "\n" << a.stderr_text();
    }
    EXPECT_TRUE(a.records().empty());

    // At each bound the record is taken whole.
    std::vector<threat> many(AGT_COUNT_MAX, threat{"v", 1});
    std::vector<threat> full(256, threat{big, 2});
    const std::string accepted[] = {
        stat_record(4, big, {{big, 0}}, big),
        stat_record(3, "", many),
        stat_record(3, "", full),
    };
    for (const std::string &record : accepted)
        EXPECT_EQ(send_stat(a, record), be32(1)) << record.size();
    std::vector<std::string> lines = a.records();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), std::string(R"({"kind":4,"quarantine":"","threats":[{"name":"","type":0}],)"
                                           R"("url":"","url_threats":[""]})").size() + 4 * big.size());
    EXPECT_EQ(tvx_test::count_of(lines[1], R"({"name":"v","type":1})"), AGT_COUNT_MAX);
    EXPECT_EQ(tvx_test::count_of(lines[2], "{\"name\":\"" + big + "\",\"type\":2}"), 256u);
}

TEST(AgentStat, WithoutAnOutputFileLinesGoToStandardOutput)
{
    tvx_test::temp_dir dir;
    const std::string conf = dir / "c.ini", sock = dir / "s", pid_file = dir / "pid", out = dir / "stdout";
    tvx_test::write_file(conf, "x\n");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(err, 2);
        execl(TVX_AGENT_PATH, TVX_AGENT_PATH, "-l", ("local:" + sock).c_str(), "-c", conf.c_str(), "-p",
              pid_file.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(tvx_test::eventually([&] { return tvx_test::file_exists(pid_file); }));
    for (const char *q : {"/q/1", "/q/2"}) {
        client c(sock);
        ASSERT_TRUE(c.send(stat_record(3, q, {})));
        EXPECT_EQ(c.rest(), be32(1));
    }
    kill(pid, SIGTERM);
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(tvx_test::read_file(out), "{\"kind\":3,\"quarantine\":\"/q/1\",\"threats\":[]}\n"
                                        "{\"kind\":3,\"quarantine\":\"/q/2\",\"threats\":[]}\n");
}

// Runs tavex-agent to completion with the arguments.
tvx_test::run_result run_agent(const std::vector<std::string> &args, int timeout_s = 20)
{
    std::vector<std::string> argv = {TVX_AGENT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return tvx_test::run_program(argv, "", timeout_s);
}

TEST(AgentListen, PidFileStaleAndLiveSocketsAndStop)
{
    agent_process a;
    // A socket file nobody accepts on is replaced.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un sun;
    memset(&sun, 0, sizeof sun);
    sun.sun_family = AF_UNIX;
    strncpy(sun.sun_path, a.socket_path().c_str(), sizeof sun.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun), 0);
    close(fd);
    ASSERT_TRUE(a.start("p = 1\n"));
    ASSERT_GT(a.port(), 0);
    EXPECT_EQ(tvx_test::read_file(a.pid_file()), std::to_string(a.pid()) + "\n" + a.socket_path() +
                                                    "\n127.0.0.1:" + std::to_string(a.port()) + "\n");
    EXPECT_EQ(a.inet_address(), "inet:" + std::to_string(a.port()) + "@127.0.0.1");
    EXPECT_EQ(a.address(), "local:" + a.socket_path());
    EXPECT_EQ(fetch(a), config_answer("p = 1\n"));

    // Neither a socket being served nor a file that is no socket is taken over.
    tvx_test::run_result live = run_agent({"-l", a.address(), "-c", a.config_path()});
    EXPECT_EQ(live.status, 1);
    EXPECT_NE(live.err.find("not a stale socket"), std::string::npos) << live.err;
    tvx_test::run_result plain = run_agent({"-l", "local:" + a.config_path(), "-c", a.config_path()});
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(tvx_test::read_file(a.config_path()), "p = 1\n");

    EXPECT_EQ(a.stop(), 0);
    EXPECT_FALSE(tvx_test::file_exists(a.pid_file()));
    EXPECT_FALSE(tvx_test::file_exists(a.socket_path()));
    EXPECT_NE(a.stderr_text().find("stopped by signal 15"), std::string::npos);
}

TEST(AgentCommandLine, RejectsBadSwitches)
{
    tvx_test::temp_dir dir;
    std::string conf = dir / "c.ini";
    tvx_test::write_file(conf, "x\n");
    const std::string sock = "local:" + (dir / "s");
    struct {
        std::vector<std::string> args;
        const char *said;
    } cases[] = {
        {{}, "no listening address"},
        {{"-c", conf}, "no listening address"},
        {{"-l", sock}, "no configuration file"},
        {{"-l", "tcp:1@127.0.0.1", "-c", conf}, "neither local:PATH nor inet:PORT@HOST"},
        {{"-l", "local:" + std::string(120, 's'), "-c", conf}, "longer than 107 bytes"},
        {{"-l", "inet:@127.0.0.1", "-c", conf}, "needs a port and a host"},
        {{"-l", sock, "-c", conf, "--timeout", "0"}, "bad time-out"},
        {{"-l", sock, "-c", conf, "--timeout", "3601"}, "bad time-out"},
        {{"-l", sock, "-c", conf, "--fail", "explode"}, "bad fail mode: explode"},
        {{"-l", sock, "-c", conf, "extra"}, "bad argument: extra"},
    };
    for (const auto &tc : cases) {
        tvx_test::run_result r = run_agent(tc.args);
        EXPECT_EQ(r.status, 2) << tc.said;
        EXPECT_NE(r.err.find(tc.said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("usage: tavex-agent"), std::string::npos) << r.err;
    }
    tvx_test::run_result missing = run_agent({"-l", sock, "-c", dir / "none.ini"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("none.ini: No such file or directory"), std::string::npos) << missing.err;
    EXPECT_FALSE(tvx_test::file_exists(dir / "s"));

    tvx_test::run_result no_output = run_agent({"-l", sock, "-c", conf, "-o", dir / "no/such/dir/records"});
    EXPECT_EQ(no_output.status, 1);
    EXPECT_NE(no_output.err.find("cannot open the statistics output"), std::string::npos) << no_output.err;
    EXPECT_FALSE(tvx_test::file_exists(dir / "s"));
}

}  // namespace
