// tavexd driven through its real sockets by a minimal client of the scan
// protocol: the informational commands, both scan modes, cures, the pid file,
// the signature file, every fault switch and hostile lengths.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "tavexd/tvd_eicar.h"

namespace {

const uint32_t OPT_CURE = 0x8040004A;     // what the ICAP daemon sends by default
const uint32_t OPT_NO_CURE = 0x8040000A;  // the same without the cure bit

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A scratch directory, removed with its files.
struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        char tmpl[] = "/tmp/tvd-test-XXXXXX";
        if (mkdtemp(tmpl))
            path = tmpl;
    }
    ~scratch_dir()
    {
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d))
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                    unlink((path + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(path.c_str());
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// A resource limit set in tavexd's process before it starts.
struct limit_setting {
    int resource;
    rlim_t soft, hard;
};

rlim_t hard_limit(int resource)
{
    struct rlimit rl;
    return getrlimit(resource, &rl) == 0 ? rl.rlim_max : 0;
}

// Runs tavexd under the limits; stderr goes to err_path. Returns the child's pid.
pid_t spawn_tavexd(const std::vector<std::string> &args, const std::string &err_path,
                   const std::vector<limit_setting> &limits = {})
{
    std::vector<char *> argv;
    std::string prog = TVX_TAVEXD_PATH;
    argv.push_back(&prog[0]);
    std::vector<std::string> copy = args;
    for (std::string &a : copy)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0)
            dup2(fd, 2);
        for (const limit_setting &l : limits) {
            struct rlimit rl = {l.soft, l.hard};
            if (setrlimit(l.resource, &rl) != 0)
                _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Runs tavexd to completion; returns its exit status, stderr in err.
int run_tavexd(const std::vector<std::string> &args, std::string &err)
{
    scratch_dir dir;
    pid_t pid = spawn_tavexd(args, dir / "stderr");
    int status = -1;
    waitpid(pid, &status, 0);
    err = slurp(dir / "stderr");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One tavexd listening on a socket in its own directory and on a free port.
class tavexd_proc {
public:
    scratch_dir dir;
    std::string sock = dir / "tavexd.sock";
    std::string pid_file = dir / "tavexd.pid";
    pid_t pid = -1;

    ~tavexd_proc() { stop(); }

    // Starts and waits until the pid file is there; false when it exited.
    bool start(const std::vector<std::string> &extra = {}, const std::vector<limit_setting> &limits = {})
    {
        std::vector<std::string> args = {"-l", "local:" + sock, "-l", "inet:0@127.0.0.1", "-p", pid_file};
        args.insert(args.end(), extra.begin(), extra.end());
        pid = spawn_tavexd(args, dir / "stderr", limits);
        for (int i = 0; i < 2000; ++i) {
            if (exists(pid_file))
                return true;
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            usleep(5000);
        }
        return false;
    }

    // SIGTERM, then the exit status.
    int stop()
    {
        if (pid < 0)
            return -1;
        kill(pid, SIGTERM);
        int status = -1;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int port() const
    {
        std::string text = slurp(pid_file);
        size_t colon = text.rfind(':');
        return colon == std::string::npos ? -1 : atoi(text.c_str() + colon + 1);
    }
};

std::string be32(uint32_t v)
{
    uint32_t n = htonl(v);
    return std::string(reinterpret_cast<const char *>(&n), 4);
}

std::string scan_whole(uint32_t options, const std::string &body)
{
    return be32(1) + be32(options) + be32(0) + be32(0) + be32(static_cast<uint32_t>(body.size())) + body;
}

std::string scan_path(uint32_t options, const std::string &path)
{
    return be32(1) + be32(options) + be32(0) + be32(static_cast<uint32_t>(path.size())) + path + be32(0);
}

// The client end of one connection. Every wait gives up after ten seconds so
// that a broken daemon fails the test instead of hanging it.
class client {
public:
    int fd = -1;

    explicit client(const std::string &sock)
    {
        struct sockaddr_un sun;
        memset(&sun, 0, sizeof sun);
        sun.sun_family = AF_UNIX;
        strncpy(sun.sun_path, sock.c_str(), sizeof sun.sun_path - 1);
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        guard();
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) != 0)
            reset();
    }
    explicit client(int port)
    {
        struct sockaddr_in sin;
        memset(&sin, 0, sizeof sin);
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fd = socket(AF_INET, SOCK_STREAM, 0);
        guard();
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0)
            reset();
    }
    ~client() { reset(); }

    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

    bool send(const std::string &data)
    {
        size_t done = 0;
        while (fd >= 0 && done < data.size()) {
            ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return fd >= 0;
    }

    bool read(size_t len, std::string &out)
    {
        out.assign(len, '\0');
        size_t got = 0;
        while (got < len) {
            ssize_t n = recv(fd, &out[got], len - got, 0);
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

    // A length-prefixed text; a length above max is refused, not allocated.
    bool text(std::string &out, uint32_t max = 65536)
    {
        uint32_t len;
        return u32(len) && len <= max && read(len, out);
    }

    // Everything up to the end of the stream.
    std::string rest()
    {
        std::string out;
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }

    // True when the daemon has closed its end (once everything was read).
    bool closed_by_peer()
    {
        char b;
        return recv(fd, &b, 1, 0) == 0;
    }

    // True when nothing arrives within ms and the connection stays open.
    bool silent_for(int ms)
    {
        struct pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

private:
    // Connects, sends and reads give up after ten seconds.
    void guard()
    {
        struct timeval tv = {10, 0};
        if (fd < 0)
            return;
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
};

struct scan_reply {
    uint32_t code = 0;
    std::vector<std::string> names, lines;
    bool has_body = false;
    uint32_t body_size = 0;
    std::string body;
};

// Reads a scan reply; a cured object sent back whole is read to end of stream.
bool read_scan_reply(client &c, bool whole, scan_reply &r)
{
    uint32_t n;
    if (!c.u32(r.code) || !c.u32(n) || n > 64)
        return false;
    r.names.resize(n);
    for (std::string &s : r.names)
        if (!c.text(s))
            return false;
    if (!c.u32(n) || n > 64)
        return false;
    r.lines.resize(n);
    for (std::string &s : r.lines)
        if (!c.text(s))
            return false;
    if (whole && (r.code & 0x80100)) {
        r.has_body = true;
        if (!c.u32(r.body_size))
            return false;
        r.body = c.rest();
    }
    return true;
}

typedef std::vector<std::pair<std::string, uint32_t>> base_list;

bool read_bases(client &c, base_list &bases)
{
    uint32_t n;
    if (!c.u32(n) || n > 64)
        return false;
    bases.resize(n);
    for (auto &b : bases)
        if (!c.text(b.first) || !c.u32(b.second))
            return false;
    return true;
}

const std::string eicar = tvd_eicar();

TEST(TavexdBases, ListsConfiguredBasesSoTheTotalIsKnown)
{
    struct {
        std::vector<std::string> args;
        base_list expect;
    } cases[] = {
        {{}, {{"main.avc", 100000}, {"daily.avc", 20000}}},
        {{"--bases", "a.avc=1,b.avc=2,c.avc=4294967295"}, {{"a.avc", 1}, {"b.avc", 2}, {"c.avc", 4294967295u}}},
        {{"--bases", ""}, {}},
    };
    for (const auto &tc : cases) {
        tavexd_proc d;
        ASSERT_TRUE(d.start(tc.args));
        client c(d.sock);
        base_list got;
        ASSERT_TRUE(c.send(be32(3)));
        ASSERT_TRUE(read_bases(c, got));
        EXPECT_EQ(got, tc.expect);
    }
}

TEST(TavexdInfo, AnswersTheInformationText)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start({"--info", "Tavex scanner 6.0\nbases of today"}));
    client c(d.sock);
    std::string text;
    ASSERT_TRUE(c.send(be32(4)));
    ASSERT_TRUE(c.text(text));
    EXPECT_EQ(text, "Tavex scanner 6.0\nbases of today");

    tavexd_proc plain;
    ASSERT_TRUE(plain.start());
    client p(plain.sock);
    ASSERT_TRUE(p.send(be32(4)));
    ASSERT_TRUE(p.text(text));
    EXPECT_NE(text.find("tavexd"), std::string::npos);
}

TEST(TavexdScan, OneConnectionServesEveryCommandInTurn)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start());
    std::string clean = d.dir / "clean.txt";
    spit(clean, "nothing to see here\n");
    client c(d.sock);
    client other(d.port());  // a second connection, over TCP, open at the same time

    base_list bases;
    ASSERT_TRUE(c.send(be32(3)));
    ASSERT_TRUE(read_bases(c, bases));
    EXPECT_EQ(bases.size(), 2u);

    scan_reply r;
    ASSERT_TRUE(c.send(scan_whole(OPT_CURE, "plain text body")));
    ASSERT_TRUE(read_scan_reply(c, true, r));
    EXPECT_EQ(r.code, 0x100000u);
    EXPECT_TRUE(r.names.empty());
    EXPECT_EQ(r.lines, std::vector<std::string>{"/stream\tOk"});

    r = scan_reply();
    ASSERT_TRUE(c.send(scan_whole(OPT_NO_CURE, "xx" + eicar + "yy")));
    ASSERT_TRUE(read_scan_reply(c, true, r));
    EXPECT_EQ(r.code, 0x20u);
    EXPECT_EQ(r.names, std::vector<std::string>{"EICAR-Test-File,K"});
    EXPECT_EQ(r.lines, std::vector<std::string>{"/stream\tinfected with EICAR-Test-File"});
    EXPECT_FALSE(r.has_body);

    ASSERT_TRUE(other.send(be32(3)));
    ASSERT_TRUE(read_bases(other, bases));

    r = scan_reply();
    ASSERT_TRUE(c.send(scan_path(OPT_CURE, clean)));
    ASSERT_TRUE(read_scan_reply(c, false, r));
    EXPECT_EQ(r.code, 0x100000u);
    EXPECT_EQ(r.lines, std::vector<std::string>{clean + "\tOk"});

    std::string info;
    ASSERT_TRUE(c.send(be32(4)));
    ASSERT_TRUE(c.text(info));
}

TEST(TavexdScan, WholeFileCureSendsTheCuredBodyThenCloses)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start());
    client c(d.sock);
    scan_reply r;
    ASSERT_TRUE(c.send(scan_whole(OPT_CURE, "head-" + eicar + "-middle-" + eicar + "-tail")));
    ASSERT_TRUE(read_scan_reply(c, true, r));
    EXPECT_EQ(r.code, 0x120u);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"/stream\tinfected with EICAR-Test-File", "/stream\tcured!"}));
    ASSERT_TRUE(r.has_body);
    EXPECT_EQ(r.body, "head--middle--tail");
    EXPECT_EQ(r.body_size, r.body.size());
    EXPECT_TRUE(c.closed_by_peer());
}

TEST(TavexdScan, PathOnlyCureRewritesTheFileAndKeepsTheConnection)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start());
    std::string file = d.dir / "body";
    spit(file, eicar + " after");
    client c(d.sock);

    scan_reply r;
    ASSERT_TRUE(c.send(scan_path(OPT_NO_CURE, file)));
    ASSERT_TRUE(read_scan_reply(c, false, r));
    EXPECT_EQ(r.code, 0x20u);
    EXPECT_EQ(slurp(file), eicar + " after");

    r = scan_reply();
    ASSERT_TRUE(c.send(scan_path(OPT_CURE, file)));
    ASSERT_TRUE(read_scan_reply(c, false, r));
    EXPECT_EQ(r.code, 0x120u);
    EXPECT_EQ(r.lines, (std::vector<std::string>{file + "\tinfected with EICAR-Test-File", file + "\tcured!"}));
    EXPECT_EQ(slurp(file), " after");

    // No cured body follows in path-only mode: the next answer is in step.
    base_list bases;
    ASSERT_TRUE(c.send(be32(3)));
    ASSERT_TRUE(read_bases(c, bases));
    EXPECT_EQ(bases.size(), 2u);
}

TEST(TavexdScan, PathOnlyObjectsThatCannotBeScanned)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start());
    spit(d.dir / "empty", "");
    struct {
        std::string path;
        uint32_t code;
        std::string phrase;
    } cases[] = {
        {d.dir / "missing", 0x10, "cannot open file with error: No such file or directory"},
        {d.dir / "empty", 0x800, "the size of the file is equal to zero, skipped"},
        {d.dir.path, 0x4, "unknown file type, skipped"},
    };
    client c(d.sock);
    for (const auto &tc : cases) {
        scan_reply r;
        ASSERT_TRUE(c.send(scan_path(OPT_CURE, tc.path)));
        ASSERT_TRUE(read_scan_reply(c, false, r));
        EXPECT_EQ(r.code, tc.code) << tc.path;
        EXPECT_EQ(r.lines, std::vector<std::string>{tc.path + "\t" + tc.phrase});
    }
}

TEST(TavexdScan, PatternAcrossBlockBoundariesIsFoundAndCutOut)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start());
    // The scanner and the cure work in 64 KiB blocks: put the test string
    // across the first boundary and at the very end.
    std::string body(65536 - 20, 'a');
    body += eicar;
    body += std::string(200000, 'b');
    body += eicar;
    std::string cured = std::string(65536 - 20, 'a') + std::string(200000, 'b');

    client c(d.sock);
    scan_reply r;
    ASSERT_TRUE(c.send(scan_whole(OPT_CURE, body)));
    ASSERT_TRUE(read_scan_reply(c, true, r));
    EXPECT_EQ(r.code, 0x120u);
    EXPECT_EQ(r.body_size, cured.size());
    EXPECT_TRUE(r.body == cured);

    std::string file = d.dir / "big";
    spit(file, body);
    client p(d.sock);
    r = scan_reply();
    ASSERT_TRUE(p.send(scan_path(OPT_CURE, file)));
    ASSERT_TRUE(read_scan_reply(p, false, r));
    EXPECT_EQ(r.code, 0x120u);
    EXPECT_TRUE(slurp(file) == cured);

    // Found when the only occurrence straddles the boundary, in both modes.
    std::string straddling = std::string(65536 - 20, 'a') + eicar + "tail";
    spit(file, straddling);
    r = scan_reply();
    ASSERT_TRUE(p.send(scan_path(OPT_NO_CURE, file)));
    ASSERT_TRUE(read_scan_reply(p, false, r));
    EXPECT_EQ(r.code, 0x20u);
    r = scan_reply();
    ASSERT_TRUE(p.send(scan_whole(OPT_NO_CURE, straddling)));
    ASSERT_TRUE(read_scan_reply(p, true, r));
    EXPECT_EQ(r.code, 0x20u);

    r = scan_reply();
    ASSERT_TRUE(p.send(scan_whole(OPT_CURE, std::string(300000, 'c'))));
    ASSERT_TRUE(read_scan_reply(p, true, r));
    EXPECT_EQ(r.code, 0x100000u);
}

TEST(TavexdSignatures, EachMatchRuleAndCureRule)
{
    scratch_dir dir;
    std::string sigs = dir / "test.sig";
    spit(sigs,
         "# rules of every kind\n"
         "signature Test.Hex,A\n"
         "  hex 41 42 43 44\n"
         "  code 0x400000\n"
         "\n"
         "signature Test.Text,K\n"
         "  text cut\\sme\\x21\n"
         "  cure remove\n"
         "  report %p - found %n (%N) 100%%\n"
         "\n"
         "signature Test.Delete,K\n"
         "  text DELETE-ME\n"
         "  cure delete\n"
         "  cured %p\\tremoved by rule\n"
         "\n"
         "signature Test.Md5,M\n"
         "  md5 900150983cd24fb0d6963f7d28e17f72\n"
         "  code 0x80\n");
    struct {
        std::string body;
        uint32_t options;
        uint32_t code;
        std::vector<std::string> names;
        std::vector<std::string> lines;
        bool has_body;
        std::string cured;
    } cases[] = {
        {"xxABCDxx", OPT_CURE, 0x400000, {"Test.Hex,A"}, {"/s\tcontains an advertising software Test.Hex"}, false, ""},
        {"a cut me! b", OPT_NO_CURE, 0x20, {"Test.Text,K"}, {"/s - found Test.Text (Test.Text,K) 100%"}, false, ""},
        {"a cut me! b", OPT_CURE, 0x120, {"Test.Text,K"},
         {"/s - found Test.Text (Test.Text,K) 100%", "/s\tcured!"}, true, "a  b"},
        {"1 DELETE-ME 2", OPT_CURE, 0x80020, {"Test.Delete,K"},
         {"/s\tinfected with Test.Delete", "/s\tremoved by rule"}, true, ""},
        {"abc", OPT_CURE, 0x80, {"Test.Md5,M"}, {"/s\tinfected with modification of Test.Md5"}, false, ""},
        {"abc ", OPT_CURE, 0x100000, {}, {"/s\tOk"}, false, ""},
        // Two hits: one cannot be cured, so nothing is.
        {"ABCD cut me!", OPT_CURE, 0x400020, {"Test.Hex,A", "Test.Text,K"},
         {"/s\tcontains an advertising software Test.Hex", "/s - found Test.Text (Test.Text,K) 100%"}, false, ""},
    };
    tavexd_proc d;
    ASSERT_TRUE(d.start({"-s", sigs, "--stream-name", "/s"}));
    for (const auto &tc : cases) {
        client c(d.sock);
        scan_reply r;
        ASSERT_TRUE(c.send(scan_whole(tc.options, tc.body)));
        ASSERT_TRUE(read_scan_reply(c, true, r)) << tc.body;
        EXPECT_EQ(r.code, tc.code) << tc.body;
        EXPECT_EQ(r.names, tc.names) << tc.body;
        EXPECT_EQ(r.lines, tc.lines) << tc.body;
        EXPECT_EQ(r.has_body, tc.has_body) << tc.body;
        EXPECT_EQ(r.body, tc.cured) << tc.body;
    }

    // The sha256 entry, through path-only mode, with both of its bits.
    std::string file = dir / "abc";
    spit(file, "abc");
    spit(sigs, "signature Test.Sha256,S\n  sha256 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"
               "  code 0x40 | 0x2000000\n");
    tavexd_proc d2;
    ASSERT_TRUE(d2.start({"-s", sigs}));
    client c(d2.sock);
    scan_reply r;
    ASSERT_TRUE(c.send(scan_path(OPT_CURE, file)));
    ASSERT_TRUE(read_scan_reply(c, false, r));
    EXPECT_EQ(r.code, 0x2000040u);
    EXPECT_EQ(r.lines, (std::vector<std::string>{file + "\tprobably infected with Test.Sha256",
                                                 file + "\tcontains a potentially dangerous software Test.Sha256"}));
}

TEST(TavexdSignatures, TheLongerOfTwoPatternsAtOneByteIsCutEvenAcrossABlock)
{
    scratch_dir dir;
    std::string sigs = dir / "overlap.sig";
    spit(sigs, "signature Test.Short,K\n  text ab\n  cure remove\n"
               "signature Test.Long,K\n  text abXYZ\n  cure remove\n");
    tavexd_proc d;
    ASSERT_TRUE(d.start({"-s", sigs}));
    // The longer pattern begins two bytes before the 64 KiB block boundary.
    std::string lead(65534, 'q');
    for (const std::string &tail : {std::string("abXYZ-ab!"), std::string("abXYZ")}) {
        client c(d.sock);
        scan_reply r;
        ASSERT_TRUE(c.send(scan_whole(OPT_CURE, lead + tail)));
        ASSERT_TRUE(read_scan_reply(c, true, r));
        EXPECT_EQ(r.code, 0x120u);
        EXPECT_TRUE(r.body == lead + (tail.size() > 5 ? "-!" : "")) << r.body.substr(lead.size());
    }
}

TEST(TavexdSignatures, ABadFileStopsTheLoadNamingTheLine)
{
    struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"signature A,K\n  hex 4\n", ":2: bad hex pattern"},
        {"signature A,K\n  code 0x20\n", ":1: entry has no match rule"},
        {"# first\nhex 41\n", ":2: 'hex' outside a signature entry"},
        {"signature A,K\n  any\n  eicar\n", ":3: entry has more than one match rule"},
        {"signature A,K\n  md5 00\n", ":2: bad md5 digest"},
        {"signature A,K\n  any\n  cure remove\n", ":1: cure remove needs a byte pattern"},
        {"signature A,K\n  text a\\qb\n", ":2: bad text pattern"},
        {"signature A,K\n  text x\n  colour red\n", ":3: unknown key 'colour'"},
        {"signature A,K\n  hex " + std::string(2 * 4097, 'a') + "\n", ":2: pattern longer than 4096 bytes"},
        {"signature A,K\n  text x\n  code 0x1FFFFFFFF\n", ":3: bad response code"},
    };
    scratch_dir dir;
    for (const auto &tc : cases) {
        spit(dir / "bad.sig", tc.text);
        std::string err;
        EXPECT_EQ(run_tavexd({"--check", "-s", dir / "bad.sig"}, err), 2) << tc.text;
        EXPECT_NE(err.find("bad.sig" + tc.message), std::string::npos) << err;
    }
    spit(dir / "good.sig", "signature A,K\n  eicar\nsignature B,J\n  any\n  code 0x1000000\n");
    std::string err;
    EXPECT_EQ(run_tavexd({"--check", "-s", dir / "good.sig"}, err), 0) << err;
}

TEST(TavexdSignatures, HangupReloadsTheFileAndABadOneKeepsTheOldSet)
{
    tavexd_proc d;
    std::string sigs = d.dir / "reload.sig";
    spit(sigs, "signature Test.Alpha,K\n  text alpha\n");
    ASSERT_TRUE(d.start({"-v", "-s", sigs}));
    auto code_of = [&](const std::string &body) {
        client c(d.sock);
        scan_reply r;
        if (!c.send(scan_whole(OPT_CURE, body)) || !read_scan_reply(c, true, r))
            return 0xFFFFFFFFu;
        return r.code;
    };
    // Waits until the listener has logged the outcome of a reload.
    auto wait_for_log = [&](const std::string &text) {
        for (int i = 0; i < 2000; ++i) {
            if (slurp(d.dir / "stderr").find(text) != std::string::npos)
                return true;
            usleep(5000);
        }
        return false;
    };
    EXPECT_EQ(code_of("an alpha"), 0x20u);
    EXPECT_EQ(code_of("a beta"), 0x100000u);

    spit(sigs, "signature Test.Beta,K\n  text beta\n");
    ASSERT_EQ(kill(d.pid, SIGHUP), 0);
    ASSERT_TRUE(wait_for_log("reloaded 1 signatures"));
    EXPECT_EQ(code_of("an alpha"), 0x100000u);
    EXPECT_EQ(code_of("a beta"), 0x20u);

    spit(sigs, "signature Test.Gamma,K\n  text\n");
    ASSERT_EQ(kill(d.pid, SIGHUP), 0);
    ASSERT_TRUE(wait_for_log("reload failed, old signatures kept"));
    EXPECT_EQ(code_of("a beta"), 0x20u);
}

TEST(TavexdLimits, IdleTimeoutClosesAQuietConnection)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start({"--idle-timeout", "1"}));
    client c(d.sock);
    base_list bases;
    ASSERT_TRUE(c.send(be32(3)));
    ASSERT_TRUE(read_bases(c, bases));
    EXPECT_TRUE(c.closed_by_peer());
}

// The soft and hard limit a running process has, read from /proc; "unlimited"
// reads as RLIM_INFINITY.
bool limits_of(pid_t pid, const std::string &name, rlim_t &soft, rlim_t &hard)
{
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/limits"));
    std::string line;
    auto value = [](const std::string &word) {
        return word == "unlimited" ? RLIM_INFINITY : static_cast<rlim_t>(strtoull(word.c_str(), nullptr, 10));
    };
    while (std::getline(in, line)) {
        if (line.compare(0, name.size(), name) != 0)
            continue;
        std::istringstream fields(line.substr(name.size()));
        std::string s, h;
        if (!(fields >> s >> h))
            return false;
        soft = value(s);
        hard = value(h);
        return true;
    }
    return false;
}

TEST(TavexdLimits, ProcessLimitIsRaisedTowardTheHardLimitForMaxChildren)
{
    const rlim_t hard = hard_limit(RLIMIT_NPROC);
    struct {
        rlim_t soft, hard;
        std::vector<std::string> args;
        rlim_t expect_soft;
        bool short_of_room;
    } cases[] = {
        {200, 512, {"--max-children", "100"}, 200, false},  // room already
        {64, 512, {"--max-children", "100"}, 512, false},   // raised, and enough
        {64, 512, {}, 512, true},                           // the default 1056 does not fit under 512
        {64, hard, {}, hard, hard != RLIM_INFINITY && hard < 1057},
    };
    for (const auto &tc : cases) {
        tavexd_proc d;
        ASSERT_TRUE(d.start(tc.args, {{RLIMIT_NPROC, tc.soft, tc.hard}})) << tc.soft << "/" << tc.hard;
        rlim_t soft = 0, now_hard = 0;
        ASSERT_TRUE(limits_of(d.pid, "Max processes", soft, now_hard));
        EXPECT_EQ(soft, tc.expect_soft) << tc.soft << "/" << tc.hard;
        EXPECT_EQ(now_hard, tc.hard);
        std::string err = slurp(d.dir / "stderr");
        EXPECT_EQ(err.find("short of the") != std::string::npos, tc.short_of_room) << err;
    }
}

// Every connection process of the ICAP daemon (1024 of them by default) keeps
// its tavexd connection for as long as its ICAP connection lives, idle or not:
// tavexd must serve that many at once by default, and the listener must not
// need a descriptor per connection for it.
TEST(TavexdLimits, ServesTheIcapDaemonsDefaultCapAtOnceOnFewDescriptors)
{
    const size_t k_default_children = 1056;
    struct rlimit own;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_cur < k_default_children + 64) {
        if (own.rlim_max != RLIM_INFINITY && own.rlim_max < k_default_children + 64)
            GTEST_SKIP() << "this test needs " << k_default_children + 64 << " descriptors; the hard limit is "
                         << own.rlim_max;
        own.rlim_cur = k_default_children + 64;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &own), 0);
    }
    rlim_t nproc = hard_limit(RLIMIT_NPROC);
    if (getuid() != 0 && nproc != RLIM_INFINITY && nproc < 2 * k_default_children)
        GTEST_SKIP() << "the process limit of this user (" << nproc << ") is too low for this test";

    tavexd_proc d;
    ASSERT_TRUE(d.start({}, {{RLIMIT_NOFILE, 32, own.rlim_max}}));
    std::vector<std::unique_ptr<client>> conns;
    for (size_t i = 0; i < k_default_children; ++i) {
        conns.push_back(std::make_unique<client>(d.sock));
        ASSERT_TRUE(conns.back()->send(be32(3))) << "connection " << i;
    }
    for (size_t i = 0; i < conns.size(); ++i) {
        base_list bases;
        ASSERT_TRUE(read_bases(*conns[i], bases)) << "connection " << i;
        ASSERT_EQ(bases.size(), 2u);
    }

    // One more waits to be accepted until one of the others goes.
    client extra(d.sock);
    ASSERT_TRUE(extra.send(be32(3)));
    EXPECT_TRUE(extra.silent_for(300));
    conns[0].reset();
    base_list bases;
    ASSERT_TRUE(read_bases(extra, bases));
    EXPECT_EQ(bases.size(), 2u);
    EXPECT_EQ(slurp(d.dir / "stderr"), "");
}

TEST(TavexdPidFile, ListsThePidThenEachAddressAndGoesAtExit)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start());
    std::string text = slurp(d.pid_file);
    int port = d.port();
    ASSERT_GT(port, 0);
    EXPECT_EQ(text, std::to_string(d.pid) + "\n" + d.sock + "\n127.0.0.1:" + std::to_string(port) + "\n");

    client tcp(port);
    base_list bases;
    ASSERT_TRUE(tcp.send(be32(3)));
    ASSERT_TRUE(read_bases(tcp, bases));

    // A second daemon may not take over a socket that is being served.
    std::string err;
    EXPECT_EQ(run_tavexd({"-l", "local:" + d.sock}, err), 1);
    EXPECT_NE(err.find("not a stale socket"), std::string::npos) << err;

    EXPECT_EQ(d.stop(), 0);
    EXPECT_FALSE(exists(d.pid_file));
    EXPECT_FALSE(exists(d.sock));
}

TEST(TavexdFault, RefuseClosesAtOnceOrOnTheNamedCommand)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start({"--fault", "refuse"}));
    client c(d.sock);
    c.send(be32(3));
    EXPECT_EQ(c.rest(), "");

    tavexd_proc on_scan;
    ASSERT_TRUE(on_scan.start({"--fault", "refuse", "--fault-on", "1"}));
    client s(on_scan.sock);
    base_list bases;
    ASSERT_TRUE(s.send(be32(3)));
    ASSERT_TRUE(read_bases(s, bases));
    s.send(scan_whole(OPT_CURE, "body"));
    EXPECT_EQ(s.rest(), "");
}

TEST(TavexdFault, CloseMidReplyCutsTheReply)
{
    // The full base list answer: count, then per base a length, the name
    // and the count: 4 + (4 + 8 + 4) + (4 + 9 + 4) = 37 bytes.
    struct {
        std::vector<std::string> args;
        size_t sent;
    } cases[] = {
        {{"--fault", "close-mid-reply"}, 18},
        {{"--fault", "close-mid-reply", "--fault-bytes", "5"}, 5},
        {{"--fault", "close-mid-reply", "--fault-bytes", "1000"}, 36},
    };
    for (const auto &tc : cases) {
        tavexd_proc d;
        ASSERT_TRUE(d.start(tc.args));
        client c(d.sock);
        ASSERT_TRUE(c.send(be32(3)));
        std::string got = c.rest();
        EXPECT_EQ(got.size(), tc.sent);
        EXPECT_EQ(got.substr(0, 4), be32(2));
    }

    tavexd_proc d;
    ASSERT_TRUE(d.start({"--fault", "close-mid-reply", "--fault-on", "1", "--fault-bytes", "4"}));
    client c(d.sock);
    ASSERT_TRUE(c.send(scan_whole(OPT_CURE, eicar)));
    EXPECT_EQ(c.rest(), be32(0x120));
}

TEST(TavexdFault, StallReadsTheRequestAndNeverAnswers)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start({"--fault", "stall", "--fault-on", "1"}));
    client c(d.sock);
    base_list bases;
    ASSERT_TRUE(c.send(be32(3)));
    ASSERT_TRUE(read_bases(c, bases));
    ASSERT_TRUE(c.send(scan_whole(OPT_CURE, std::string(100000, 'x'))));
    EXPECT_TRUE(c.silent_for(300));
    // The stalled connection process ends with the daemon.
    EXPECT_EQ(d.stop(), 0);
    EXPECT_EQ(c.rest(), "");
}

TEST(TavexdFault, GarbageAnnouncesHugeCountsThenCloses)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start({"--fault", "garbage"}));
    struct {
        std::string request;
        std::vector<uint32_t> head;
    } cases[] = {
        {be32(3), {0xFFFFFFFFu, 0xFFFFFFF0u}},
        {be32(4), {0xFFFFFFF0u}},
        {scan_whole(OPT_CURE, "body"), {0x20, 0xFFFFFFFFu, 0xFFFFFFF0u}},
    };
    for (const auto &tc : cases) {
        client c(d.sock);
        ASSERT_TRUE(c.send(tc.request));
        for (uint32_t want : tc.head) {
            uint32_t v;
            ASSERT_TRUE(c.u32(v));
            EXPECT_EQ(v, want);
        }
        std::string tail = c.rest();
        EXPECT_FALSE(tail.empty());
        EXPECT_LT(tail.size(), 64u);
    }
}

TEST(TavexdFault, FixedCodeDrivesEveryVerdict)
{
    struct {
        uint32_t code;
        std::vector<std::string> names;
        std::vector<std::string> phrases;
    } cases[] = {
        {0x120, {"Tavex.Test.Known,K"}, {"infected with Tavex.Test.Known", "cured!"}},
        {0x20, {"Tavex.Test.Known,K"}, {"infected with Tavex.Test.Known"}},
        {0x80, {"Tavex.Test.Modified,M"}, {"infected with modification of Tavex.Test.Modified"}},
        {0x400040, {"Tavex.Test.Suspicious,S", "Tavex.Test.Adware,A"},
         {"probably infected with Tavex.Test.Suspicious", "contains an advertising software Tavex.Test.Adware"}},
        {0x40000, {}, {"nesting limit!"}},
        {0x8017, {}, {"read error!", "write error!", "no memory", "cannot open file with error: Input/output error",
                      "decompression error!"}},
        {0x1E08, {}, {"CRC error!", "password protected, skipped", "splitted file, skipped",
                      "the size of the file is equal to zero, skipped", "file too large, skipped"}},
        {0x800000, {"Tavex.Test.Dialer,D"}, {"contains a dialer program Tavex.Test.Dialer"}},
        {0x1000000, {"Tavex.Test.Joke,J"}, {"contains a joke (hoax) program Tavex.Test.Joke"}},
        {0x2000000, {"Tavex.Test.Riskware,R"}, {"contains a potentially dangerous software Tavex.Test.Riskware"}},
        {0x4000000, {"Tavex.Test.Hacktool,H"}, {"contains an intrusion tool Tavex.Test.Hacktool"}},
        {0x100000, {}, {"Ok"}},
    };
    for (const auto &tc : cases) {
        char hex[16];
        snprintf(hex, sizeof hex, "0x%x", tc.code);
        tavexd_proc d;
        ASSERT_TRUE(d.start({"--code", hex}));
        client c(d.sock);
        scan_reply r;
        ASSERT_TRUE(c.send(scan_whole(OPT_NO_CURE, "some body")));
        ASSERT_TRUE(read_scan_reply(c, true, r)) << hex;
        EXPECT_EQ(r.code, tc.code);
        EXPECT_EQ(r.names, tc.names) << hex;
        std::vector<std::string> lines;
        for (const std::string &p : tc.phrases)
            lines.push_back("/stream\t" + p);
        EXPECT_EQ(r.lines, lines) << hex;
        EXPECT_EQ(r.has_body, (tc.code & 0x80100) != 0) << hex;
        if (r.has_body) {
            EXPECT_EQ(r.body, "some body") << hex;
        }
    }
}

TEST(TavexdFault, FixedCureCodesChangeTheObject)
{
    tavexd_proc cured;
    ASSERT_TRUE(cured.start({"--code", "0x20|0x100"}));
    client c(cured.sock);
    scan_reply r;
    ASSERT_TRUE(c.send(scan_whole(OPT_NO_CURE, "<" + eicar + ">")));
    ASSERT_TRUE(read_scan_reply(c, true, r));
    EXPECT_EQ(r.code, 0x120u);
    EXPECT_EQ(r.body, "<>");

    tavexd_proc deleted;
    ASSERT_TRUE(deleted.start({"--code", "0x80020"}));
    client w(deleted.sock);
    r = scan_reply();
    ASSERT_TRUE(w.send(scan_whole(OPT_CURE, "doomed")));
    ASSERT_TRUE(read_scan_reply(w, true, r));
    EXPECT_EQ(r.code, 0x80020u);
    EXPECT_TRUE(r.has_body);
    EXPECT_EQ(r.body_size, 0u);
    EXPECT_EQ(r.body, "");

    std::string file = deleted.dir / "doomed";
    spit(file, "doomed");
    client p(deleted.sock);
    r = scan_reply();
    ASSERT_TRUE(p.send(scan_path(OPT_CURE, file)));
    ASSERT_TRUE(read_scan_reply(p, false, r));
    EXPECT_EQ(r.code, 0x80020u);
    EXPECT_EQ(slurp(file), "");
}

TEST(TavexdLimits, HostileLengthsAreBoundedAndTheDaemonLivesOn)
{
    tavexd_proc d;
    ASSERT_TRUE(d.start({"--max-size", "1000"}));
    struct {
        std::string request;
        const char *what;
    } closing[] = {
        {be32(1) + be32(OPT_CURE) + be32(0) + be32(0xFFFFFFFFu), "a path of 4 GiB"},
        {be32(1) + be32(OPT_CURE) + be32(0) + be32(4097), "a path just over the limit"},
        {be32(1) + be32(OPT_CURE) + be32(0) + be32(3) + "/x" + "y" + be32(5) + "hello", "a path and data"},
        {be32(99), "an unknown command"},
        // A body announced at 4 GiB that never comes: read in bounded blocks
        // until the client gives up.
        {be32(1) + be32(OPT_CURE) + be32(0) + be32(0) + be32(0xFFFFFFFFu) + std::string(5000, 'z'), "a 4 GiB body"},
    };
    for (const auto &tc : closing) {
        client c(d.sock);
        ASSERT_TRUE(c.send(tc.request)) << tc.what;
        if (std::string(tc.what) == "a 4 GiB body") {
            EXPECT_TRUE(c.silent_for(100));
            continue;
        }
        EXPECT_EQ(c.rest(), "") << tc.what;
    }

    // A body over --max-size is read, skipped, and the connection stays in step.
    client c(d.sock);
    scan_reply r;
    ASSERT_TRUE(c.send(scan_whole(OPT_CURE, std::string(1001, 'q') + eicar)));
    ASSERT_TRUE(read_scan_reply(c, true, r));
    EXPECT_EQ(r.code, 0x1000u);
    EXPECT_EQ(r.lines, std::vector<std::string>{"/stream\tfile too large, skipped"});
    base_list bases;
    ASSERT_TRUE(c.send(be32(3)));
    ASSERT_TRUE(read_bases(c, bases));
    EXPECT_EQ(bases.size(), 2u);
}

TEST(TavexdCommandLine, RejectsBadSwitches)
{
    const std::vector<std::string> cases[] = {
        {},
        {"-l", "tcp:1@127.0.0.1"},
        {"-l", "local:" + std::string(120, 's')},
        {"-l", "inet:@127.0.0.1"},
        {"-l", "inet:0", "--fault", "explode"},
        {"-l", "inet:0", "--code", "0xZZ"},
        {"-l", "inet:0", "--bases", "main.avc"},
        {"-l", "inet:0", "--timeout", "-1"},
        {"-l", "inet:0", "--max-children", "0"},
        {"-l", "inet:0", "--max-children", "4097"},
    };
    for (const auto &args : cases) {
        std::string err;
        EXPECT_EQ(run_tavexd(args, err), 2) << (args.empty() ? "" : args.back());
        EXPECT_NE(err.find("usage: tavexd"), std::string::npos) << err;
    }
}

} // namespace
