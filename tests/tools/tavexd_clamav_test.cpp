// tavexd with --engine clamav, driven over its socket by a minimal client of
// the scan protocol: verdicts on clean and infected objects, archives and the
// clamav-testfiles samples, limits and errors that must never come back
// clean, the database commands, and reloads on SIGHUP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/clamav_db.h"
#include "support/support.h"
#include "support/tavexd_process.h"
#include "tavexd/tvd_eicar.h"

namespace {

using tvx_test::clamav_db_options;
using tvx_test::clamav_reported;
using tvx_test::temp_dir;

const uint32_t OPT_CURE = 0x8040004A;
const uint32_t OPT_NO_CURE = 0x8040000A;
const uint32_t CODE_OK = 0x100000, CODE_INFECTED = 0x20;
const uint32_t ARCHIVE_MASK = 0x46000, DAEMON_ERROR_MASK = 0x8017;

std::string be32(uint32_t v)
{
    uint32_t n = htonl(v);
    return std::string(reinterpret_cast<const char *>(&n), 4);
}

struct reply {
    uint32_t code = 0;
    std::vector<std::string> names, lines;
};

// One connection; every wait gives up after twenty seconds.
class conn {
public:
    explicit conn(const std::string &sock)
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
    ~conn()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    conn(const conn &) = delete;
    conn &operator=(const conn &) = delete;

    bool send(const std::string &d)
    {
        for (size_t done = 0; done < d.size();) {
            ssize_t n = ::send(fd_, d.data() + done, d.size() - done, MSG_NOSIGNAL);
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
    bool text(std::string &s)
    {
        uint32_t n;
        return u32(n) && n <= 65536 && read(n, s);
    }
    bool list(std::vector<std::string> &out)
    {
        uint32_t n;
        if (!u32(n) || n > 64)
            return false;
        out.resize(n);
        for (std::string &s : out)
            if (!text(s))
                return false;
        return true;
    }
    bool scan_reply(reply &r) { return u32(r.code) && list(r.names) && list(r.lines); }

    reply whole(const std::string &body, uint32_t options = OPT_NO_CURE)
    {
        reply r;
        EXPECT_TRUE(send(be32(1) + be32(options) + be32(0) + be32(0) + be32(static_cast<uint32_t>(body.size())) +
                         body) &&
                    scan_reply(r));
        return r;
    }
    reply path(const std::string &p, uint32_t options = OPT_NO_CURE)
    {
        reply r;
        EXPECT_TRUE(send(be32(1) + be32(options) + be32(0) + be32(static_cast<uint32_t>(p.size())) + p + be32(0)) &&
                    scan_reply(r));
        return r;
    }
    std::vector<std::pair<std::string, uint32_t>> bases()
    {
        std::vector<std::pair<std::string, uint32_t>> out;
        uint32_t n = 0;
        EXPECT_TRUE(send(be32(3)) && u32(n) && n < 256);
        for (uint32_t i = 0; i < n && i < 256; ++i) {
            std::pair<std::string, uint32_t> b;
            EXPECT_TRUE(text(b.first) && u32(b.second));
            out.push_back(b);
        }
        return out;
    }
    std::string info()
    {
        std::string s;
        EXPECT_TRUE(send(be32(4)) && text(s));
        return s;
    }

private:
    int fd_ = -1;
};

bool has_line(const reply &r, const std::string &line)
{
    for (const std::string &l : r.lines)
        if (l == line)
            return true;
    return false;
}

std::string infected_line(const std::string &where, const char *sig)
{
    return where + "\tinfected with " + clamav_reported(sig);
}

// A daemon on the engine, with its database and scratch folders.
struct clamav_daemon {
    temp_dir dir;
    std::string db = dir / "db";
    std::string work = dir / "work";
    tvx_test::tavexd_process proc;

    explicit clamav_daemon(const clamav_db_options &opt = clamav_db_options())
    {
        mkdir(db.c_str(), 0700);
        mkdir(work.c_str(), 0700);
        EXPECT_TRUE(tvx_test::clamav_db_write(db, opt));
    }
    bool start(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--engine", "clamav", "--database", db, "--temp-dir", work, "-v"};
        args.insert(args.end(), extra.begin(), extra.end());
        return proc.start(args);
    }
    pid_t pid() const { return atoi(tvx_test::read_file(proc.pid_file()).c_str()); }
    // SIGHUP, then waits until the listener has said how it went.
    bool reload(const char *outcome)
    {
        size_t before = count(outcome);
        kill(pid(), SIGHUP);
        for (int i = 0; i < 1000; ++i) {
            if (count(outcome) > before)
                return true;
            usleep(10000);
        }
        return false;
    }
    size_t count(const char *what) const
    {
        std::string err = proc.stderr_text();
        size_t n = 0;
        for (size_t at = err.find(what); at != std::string::npos; at = err.find(what, at + 1))
            ++n;
        return n;
    }
    // No scratch directory is left behind by a scan.
    bool work_empty() const
    {
        DIR *d = opendir(work.c_str());
        size_t n = 0;
        while (struct dirent *e = d ? readdir(d) : nullptr)
            n += strcmp(e->d_name, ".") && strcmp(e->d_name, "..");
        if (d)
            closedir(d);
        return d && n == 0;
    }
};

int run(const std::string &cmd)
{
    return system(cmd.c_str());
}

TEST(TavexdClamav, CleanAndTestStringWholeAndByPath)
{
    clamav_daemon d(clamav_db_options{true, false, false, 0});
    ASSERT_TRUE(d.start()) << d.proc.stderr_text();
    conn c(d.proc.socket_path());
    std::string clean_path = d.dir / "clean.txt", eicar_path = d.dir / "eicar.com";
    tvx_test::write_file(clean_path, "nothing to see here, just plain text\n");
    tvx_test::write_file(eicar_path, tvd_eicar());

    reply r = c.whole("nothing to see here, just plain text\n");
    EXPECT_EQ(r.code, CODE_OK);
    EXPECT_TRUE(r.names.empty());
    EXPECT_TRUE(has_line(r, "/stream\tOk"));
    r = c.path(clean_path);
    EXPECT_EQ(r.code, CODE_OK);

    // A cure request gets the plain infected verdict: the engine cannot cure.
    for (uint32_t options : {OPT_NO_CURE, OPT_CURE}) {
        r = c.whole(tvd_eicar(), options);
        EXPECT_EQ(r.code, CODE_INFECTED);
        EXPECT_EQ(r.names, std::vector<std::string>{clamav_reported(tvx_test::CLAMAV_EICAR_BODY) + ",K"});
        EXPECT_TRUE(has_line(r, infected_line("/stream", tvx_test::CLAMAV_EICAR_BODY)));
        r = c.path(eicar_path, options);
        EXPECT_EQ(r.code, CODE_INFECTED);
        EXPECT_TRUE(has_line(r, infected_line(eicar_path, tvx_test::CLAMAV_EICAR_BODY)));
    }
    EXPECT_EQ(tvx_test::read_file(eicar_path), tvd_eicar());
    EXPECT_TRUE(d.work_empty());
}

// Archives made here; only the digest signature is loaded, so a match means
// the member was unpacked, and the report line names it.
TEST(TavexdClamav, ArchivesNameTheMember)
{
    clamav_daemon d(clamav_db_options{false, true, false, 0});
    ASSERT_TRUE(d.start()) << d.proc.stderr_text();
    std::string src = d.dir / "src";
    ASSERT_EQ(run("mkdir -p " + src + "/dir"), 0);
    tvx_test::write_file(src + "/dir/eicar.com", tvd_eicar());
    tvx_test::write_file(src + "/dir/readme.txt", "a harmless member\n");
    struct {
        const char *name;
        const char *make;  // run in src, writing ../NAME
        const char *member;
    } cases[] = {
        {"t.zip", "zip -q -r ../t.zip dir", "eicar.com"},
        {"t.tar.gz", "tar czf ../t.tar.gz dir", "dir/eicar.com"},
        {"t.7z", "7z a -bd -bso0 ../t.7z dir", "dir/eicar.com"},
        {"nested.zip", "tar czf inner.tgz dir && zip -q ../nested.zip inner.tgz && rm inner.tgz",
         "inner.tgz/dir/eicar.com"},
    };
    conn c(d.proc.socket_path());
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_EQ(run("cd " + src + " && " + k.make), 0);
        std::string archive = d.dir / k.name;
        reply r = c.path(archive);
        EXPECT_EQ(r.code, CODE_INFECTED);
        EXPECT_EQ(r.names, std::vector<std::string>{clamav_reported(tvx_test::CLAMAV_EICAR_MD5) + ",K"});
        EXPECT_TRUE(has_line(r, infected_line(archive + "/" + k.member, tvx_test::CLAMAV_EICAR_MD5)))
            << (r.lines.empty() ? "" : r.lines[0]);
        r = c.whole(tvx_test::read_file(archive));
        EXPECT_TRUE(has_line(r, infected_line(std::string("/stream/") + k.member, tvx_test::CLAMAV_EICAR_MD5)));
    }
    EXPECT_TRUE(d.work_empty());
}

TEST(TavexdClamav, EveryTestfilesSampleIsDetected)
{
    clamav_daemon d(clamav_db_options{false, false, true, 0});
    ASSERT_TRUE(d.start()) << d.proc.stderr_text();
    std::vector<std::string> samples;
    DIR *dir = opendir(tvx_test::CLAMAV_TESTFILES);
    ASSERT_NE(dir, nullptr);
    while (struct dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            samples.push_back(std::string(tvx_test::CLAMAV_TESTFILES) + "/" + e->d_name);
    closedir(dir);
    EXPECT_GE(samples.size(), 44u);
    conn c(d.proc.socket_path());
    for (const std::string &s : samples) {
        reply r = c.path(s);
        EXPECT_EQ(r.code, CODE_INFECTED) << s;
        EXPECT_EQ(r.names, std::vector<std::string>{clamav_reported(tvx_test::CLAMAV_CLAM_EXE) + ",K"}) << s;
    }
}

// Connection processes unpack archives at the same time, each scan in a
// scratch folder of its own that is gone once the scan is answered.
TEST(TavexdClamav, ConcurrentConnectionsUnpackApart)
{
    clamav_daemon d(clamav_db_options{false, false, true, 0});
    ASSERT_TRUE(d.start()) << d.proc.stderr_text();
    const char *samples[] = {"clam.zip", "clam.tar.gz", "clam.7z", "clam.cab"};
    std::vector<std::unique_ptr<conn>> conns;
    for (int i = 0; i < 6; ++i)
        conns.emplace_back(new conn(d.proc.socket_path()));
    for (int round = 0; round < 8; ++round) {
        std::string path = std::string(tvx_test::CLAMAV_TESTFILES) + "/" + samples[round % 4];
        for (auto &c : conns)
            ASSERT_TRUE(c->send(be32(1) + be32(OPT_NO_CURE) + be32(0) + be32(static_cast<uint32_t>(path.size())) +
                                path + be32(0)));
        for (auto &c : conns) {
            reply r;
            ASSERT_TRUE(c->scan_reply(r));
            EXPECT_EQ(r.code, CODE_INFECTED) << path;
        }
    }
    EXPECT_TRUE(d.work_empty());
}

// What the engine cannot scan whole carries the archive-restriction bits,
// never clean.
TEST(TavexdClamav, LimitsAreArchiveRestrictions)
{
    temp_dir src;
    std::string big = src / "big.txt", deep = src / "deep.tgz", many = src / "many.zip";
    tvx_test::write_file(big, std::string(5000, 'a'));
    ASSERT_EQ(run("cd " + src.path() + " && mkdir d && echo one > d/1 && echo two > d/2 && tar czf deep.tgz d && "
                  "zip -q many.zip d/1 d/2"),
              0);
    struct {
        const char *limit;
        std::string object;
        uint32_t bit;
    } cases[] = {
        {"max-filesize=1000", big, 0x40000},
        {"max-scansize=1000", big, 0x40000},
        {"max-recursion=1", deep, 0x2000},
        {"max-files=1", many, 0x4000},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.limit);
        clamav_daemon d;
        ASSERT_TRUE(d.start({"--clamav-limit", k.limit})) << d.proc.stderr_text();
        conn c(d.proc.socket_path());
        reply r = c.path(k.object);
        EXPECT_EQ(r.code & ARCHIVE_MASK, k.bit);
        EXPECT_EQ(r.code & CODE_OK, 0u);
        EXPECT_TRUE(has_line(r, k.object + "\tnesting limit!")) << (r.lines.empty() ? "" : r.lines[0]);
        r = c.whole(tvx_test::read_file(k.object));
        EXPECT_EQ(r.code & ARCHIVE_MASK, k.bit);
    }
}

// A stored RAR archive, written byte by byte (Debian's libclamav cannot
// unpack RAR). Only the digest signature is loaded, so the member cannot
// match unless it is unpacked.
std::string stored_rar(const std::string &name, const std::string &data)
{
    auto crc32 = [](const std::string &s) {
        uint32_t c = 0xFFFFFFFFu;
        for (unsigned char b : s) {
            c ^= b;
            for (int k = 0; k < 8; ++k)
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
        }
        return ~c;
    };
    auto le = [](uint64_t v, int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        return s;
    };
    auto block = [&](int type, int flags, const std::string &body) {
        std::string h = std::string(1, static_cast<char>(type)) + le(flags, 2) + le(7 + body.size(), 2) + body;
        return le(crc32(h) & 0xFFFF, 2) + h;
    };
    std::string out("Rar!\x1a\x07\x00", 7);
    out += block(0x73, 0, std::string(6, '\0'));
    std::string file = le(data.size(), 4) + le(data.size(), 4) + le(3, 1) + le(crc32(data), 4) + le(0x5a000000, 4) +
                       le(20, 1) + le(0x30, 1) + le(name.size(), 2) + le(0x20, 4) + name;
    out += block(0x74, 0x8000, file) + data;
    out += block(0x7b, 0x4000, "");
    return out;
}

TEST(TavexdClamav, UnopenableAndEncryptedArchivesAreNotClean)
{
    clamav_daemon d(clamav_db_options{false, true, false, 0});
    ASSERT_TRUE(d.start()) << d.proc.stderr_text();
    conn c(d.proc.socket_path());
    std::string rar = d.dir / "t.rar";
    tvx_test::write_file(rar, stored_rar("eicar.com", tvd_eicar()));
    reply r = c.path(rar);
    EXPECT_EQ(r.code, 0x40000u);
    EXPECT_TRUE(has_line(r, rar + "\tnesting limit!"));

    std::string src = d.dir / "src", enc = d.dir / "enc.zip";
    ASSERT_EQ(run("mkdir -p " + src), 0);
    tvx_test::write_file(src + "/eicar.com", tvd_eicar());
    ASSERT_EQ(run("cd " + src + " && zip -q -P secret " + enc + " eicar.com"), 0);
    r = c.path(enc);
    EXPECT_EQ(r.code, 0x200u);
    EXPECT_TRUE(has_line(r, enc + "\tpassword protected, skipped"));
}

// libclamav calls an object clean when it has nowhere to unpack: without a
// usable temp folder the answer is a daemon error.
TEST(TavexdClamav, NoScratchFolderIsADaemonError)
{
    clamav_daemon d;
    ASSERT_TRUE(d.start({"--temp-dir", d.dir / "missing"})) << d.proc.stderr_text();
    std::string zip = std::string(tvx_test::CLAMAV_TESTFILES) + "/clam.zip";
    conn c(d.proc.socket_path());
    reply r = c.path(zip);
    EXPECT_EQ(r.code, 0x2u);
    EXPECT_TRUE(has_line(r, zip + "\twrite error!"));
    EXPECT_NE(r.code & DAEMON_ERROR_MASK, 0u);
    EXPECT_NE(d.proc.stderr_text().find("cannot create a scratch directory"), std::string::npos);
}

TEST(TavexdClamav, BasesAndInformation)
{
    clamav_daemon d;
    ASSERT_TRUE(d.start()) << d.proc.stderr_text();
    conn c(d.proc.socket_path());
    std::vector<std::pair<std::string, uint32_t>> want = {{"test.hdb", 2}, {"test.ndb", 1}};
    EXPECT_EQ(c.bases(), want);
    std::string info = c.info();
    EXPECT_EQ(info.rfind("ClamAV 1.", 0), 0u) << info;
}

TEST(TavexdClamav, StartRefusesABrokenOrEmptyDatabase)
{
    for (const char *content : {"", "this is not a signature\n"}) {
        clamav_daemon d(clamav_db_options{false, false, false, 0});
        if (*content)
            tvx_test::write_file(d.db + "/bad.ndb", content);
        EXPECT_FALSE(d.start());
        EXPECT_NE(d.proc.stderr_text().find(d.db), std::string::npos) << d.proc.stderr_text();
    }
}

TEST(TavexdClamav, ReloadPicksUpNewFilesAndKeepsTheOldEngineOnError)
{
    clamav_daemon d(clamav_db_options{true, false, false, 0});
    ASSERT_TRUE(d.start()) << d.proc.stderr_text();
    // A body of its own, known only to the database added later.
    std::string fresh = "an object that only the new database knows about\n";
    std::string hex;
    char b[3];
    for (unsigned char ch : fresh) {
        snprintf(b, sizeof b, "%02x", ch);
        hex += b;
    }
    EXPECT_EQ(conn(d.proc.socket_path()).whole(fresh).code, CODE_OK);

    // A scan in flight when the reload happens completes on its engine.
    conn busy(d.proc.socket_path());
    std::string body = tvd_eicar();
    ASSERT_TRUE(busy.send(be32(1) + be32(OPT_NO_CURE) + be32(0) + be32(0) + be32(static_cast<uint32_t>(body.size())) +
                          body.substr(0, 10)));

    tvx_test::write_file(d.db + "/extra.ndb", "Tavex.Test.Fresh:0:*:" + hex + "\n");
    ASSERT_TRUE(d.reload("engine reloaded")) << d.proc.stderr_text();
    ASSERT_TRUE(busy.send(body.substr(10)));
    reply r;
    ASSERT_TRUE(busy.scan_reply(r));
    EXPECT_EQ(r.code, CODE_INFECTED);

    conn c(d.proc.socket_path());
    r = c.whole(fresh);
    EXPECT_EQ(r.code, CODE_INFECTED);
    EXPECT_EQ(r.names, std::vector<std::string>{"Tavex.Test.Fresh.UNOFFICIAL,K"});
    std::vector<std::pair<std::string, uint32_t>> want = {{"extra.ndb", 1}, {"test.ndb", 1}};
    EXPECT_EQ(c.bases(), want);

    tvx_test::write_file(d.db + "/broken.ndb", "Tavex.Test.Broken:0:*:zz-not-hex\n");
    ASSERT_TRUE(d.reload("engine reload failed, old engine kept")) << d.proc.stderr_text();
    conn after(d.proc.socket_path());
    EXPECT_EQ(after.whole(fresh).code, CODE_INFECTED);
    EXPECT_EQ(after.whole(tvd_eicar()).code, CODE_INFECTED);
    EXPECT_EQ(after.bases(), want);
}

}  // namespace
