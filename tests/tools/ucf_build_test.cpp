// ucf-build through its command line: lists compiled into category files
// whose bytes are read back here with a parser of the test's own (section
// table, record keys computed from MD5 of the entries, sort order, groups),
// signatures checked against the daemon's verifier, key pairs checked with
// BIGNUM arithmetic, and --dump fed intact, altered and broken files.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <functional>
#include <iterator>
#include <map>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <vector>

#include "policy/ucf_key.h"
#include "policy/ucf_signature.h"
#include "support/support.h"

namespace {

const std::string k_tool = TVX_UCF_BUILD_PATH;
const std::string k_test_private = std::string(TVX_SOURCE_DIR) + "/etc/keys/ucf-test-key.private";
const std::string k_test_public = std::string(TVX_SOURCE_DIR) + "/etc/keys/ucf-test-key.public";

tvx_test::run_result tool(std::vector<std::string> args)
{
    args.insert(args.begin(), k_tool);
    return tvx_test::run_program(args, "", 120);
}

std::string md5(const std::string &s)
{
    unsigned char out[16];
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(s.data(), s.size(), out, &n, EVP_md5(), nullptr), 1);
    return std::string(reinterpret_cast<char *>(out), 16);
}

std::string hex(const std::string &s)
{
    static const char d[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) {
        h += d[c >> 4];
        h += d[c & 15];
    }
    return h;
}

std::string be16(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)}; }
std::string be32(uint32_t v) { return be16(v >> 16) + be16(v & 0xffff); }
uint32_t get32(const std::string &s, size_t at)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data()) + at;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
void put32(std::string &s, size_t at, uint32_t v) { s.replace(at, 4, be32(v)); }

std::string ipv4(const char *text)
{
    unsigned char a[4];
    EXPECT_EQ(inet_pton(AF_INET, text, a), 1) << text;
    return std::string(reinterpret_cast<char *>(a), 4);
}
std::string ipv6(const char *text)
{
    unsigned char a[16];
    EXPECT_EQ(inet_pton(AF_INET6, text, a), 1) << text;
    return std::string(reinterpret_cast<char *>(a), 16);
}

// The 19 bytes of a URL record: level, path length, MD5(base + path).
std::string url_record(int level, const std::string &base, const std::string &path)
{
    return std::string(1, static_cast<char>(static_cast<unsigned char>(level))) + be16(unsigned(path.size())) +
           md5(base + path);
}

// A category file split the way the daemon reads it: section i runs from
// its offset to the next non-zero offset of a later table entry.
struct ucf_file {
    std::vector<uint32_t> table;
    std::string type;
    size_t type_end = 0;
    bool present[6] = {};
    std::string sec[6];
    std::string signed_part, signature;

    std::vector<std::string> records(int s, size_t size) const
    {
        std::vector<std::string> r;
        for (size_t at = 0; at + size <= sec[s].size(); at += size)
            r.push_back(sec[s].substr(at, size));
        return r;
    }
};

ucf_file parse(const std::string &f)
{
    ucf_file u;
    EXPECT_GE(f.size(), 44u);
    if (f.size() < 44)
        return u;
    EXPECT_EQ(f.substr(0, 4), std::string("UCF\0", 4));
    uint32_t n = get32(f, 4);
    EXPECT_EQ(n, 7u);
    if (n != 7)
        return u;
    for (uint32_t i = 0; i < n; ++i)
        u.table.push_back(get32(f, 8 + 4 * i));
    EXPECT_EQ(f.substr(36, 10), std::string(10, '\0'));
    size_t zero = f.find('\0', 46);
    u.type = f.substr(46, zero - 46);
    u.type_end = zero + 1;
    for (int i = 0; i < 6; ++i) {
        if (u.table[i] == 0)
            continue;
        uint32_t end = 0;
        for (uint32_t j = i + 1; j < n && end == 0; ++j)
            end = u.table[j];
        EXPECT_GE(end, u.table[i]);
        EXPECT_LE(end, f.size() - 40);
        u.present[i] = true;
        u.sec[i] = f.substr(u.table[i], end - u.table[i]);
    }
    u.signed_part = f.substr(0, f.size() - 40);
    u.signature = f.substr(f.size() - 40);
    return u;
}

// Tells whether the records of a URL section follow the daemon's key order.
bool url_less_equal(const std::string &a, const std::string &b)
{
    if (a[0] != b[0])
        return static_cast<signed char>(a[0]) < static_cast<signed char>(b[0]);
    return a.compare(1, 18, b, 1, 18) <= 0;
}

bool has(const std::vector<std::string> &v, const std::string &x) { return std::find(v.begin(), v.end(), x) != v.end(); }

ucf_dsa_key key_of(const std::string &path)
{
    ucf_dsa_key k;
    std::string err;
    EXPECT_TRUE(ucf_key_parse(tvx_test::read_file(path), k, err)) << path << ": " << err;
    return k;
}

bool verifies(const ucf_dsa_key &key, const std::string &file)
{
    ucf_verifier v(key);
    return v.ok() && v.verify(reinterpret_cast<const unsigned char *>(file.data()), file.size());
}

std::string last_line(const std::string &out)
{
    std::string s = out;
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s.substr(s.rfind('\n') + 1);
}

class UcfBuild : public ::testing::Test {
protected:
    tvx_test::temp_dir dir;
    std::string out = dir / "out.ucf";

    // Compiles the lines (a URL list) and, when given, a substring list.
    tvx_test::run_result compile(const std::string &urls, const std::string &substrings = "",
                                 std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--category", "porno", "--key", k_test_private, "-o", out};
        if (!urls.empty()) {
            tvx_test::write_file(dir / "urls", urls);
            args.insert(args.end(), {"--urls", dir / "urls"});
        }
        if (!substrings.empty()) {
            tvx_test::write_file(dir / "substrings", substrings);
            args.insert(args.end(), {"--substrings", dir / "substrings"});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        return tool(args);
    }
};

// Lines of every kind and the record each must become, computed here from
// what the daemon hashes when it looks the URL up.
TEST_F(UcfBuild, EntriesBecomeTheKeysTheDaemonLooksUp)
{
    struct row {
        const char *line;
        int section;
        std::string record;
    };
    const std::string a1 = ipv4("1.2.3.4"), v6 = ipv6("2001:db8::1");
    const row rows[] = {
        {"example.com/a/b", 4, url_record(2, "example.com", "/a/b")},
        {"Example.COM", 4, url_record(2, "example.com", "")},
        {"www.example.net.", 4, url_record(3, "www.example.net", "")},
        {"http://news.example.org:8080/Path/X.html", 4, url_record(3, "news.example.org", "/Path/X.html")},
        {"HTTPS://secure.example.net/", 4, url_record(3, "secure.example.net", "/")},
        {"plain.example/path?", 4, url_record(2, "plain.example", "/path")},
        {"localhost", 4, url_record(1, "localhost", "")},
        {"1.2.3.4", 2, a1},
        {"10.0.0.1:3128", 2, ipv4("10.0.0.1")},
        {"1.2.3.4/path", 4, url_record(-1, a1, "/path")},
        {"http://1.2.3.4:80/", 4, url_record(-1, a1, "/")},
        {"[2001:db8::1]", 3, md5(v6)},
        {"2001:db8::2", 3, md5(ipv6("2001:db8::2"))},
        {"[2001:db8::1]:443/p", 4, url_record(-2, v6, "/p")},
        {"2001:db8::1/q", 4, url_record(-2, v6, "/q")},
    };
    std::string list = "\xEF\xBB\xBF";  // a byte-order mark before the first line is no part of it
    for (const row &r : rows)
        list += std::string(r.line) + "\r\n";
    tvx_test::run_result r = compile(list);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(std::to_string(std::size(rows)) + " lines taken, 0 rejected"), std::string::npos) << r.err;
    ucf_file u = parse(tvx_test::read_file(out));
    const size_t sizes[] = {0, 0, 4, 16, 19, 27};
    for (const row &x : rows)
        EXPECT_TRUE(has(u.records(x.section, sizes[x.section]), x.record)) << x.line;
    EXPECT_EQ(u.type, "porno");
    EXPECT_FALSE(u.present[0]);
    EXPECT_FALSE(u.present[1]);
    EXPECT_FALSE(u.present[5]);
    // 1.2.3.4 and 1.2.3.4/path are one address record and one URL record.
    EXPECT_EQ(u.records(2, 4).size(), 2u);
    EXPECT_EQ(u.records(3, 16).size(), 2u);
    EXPECT_EQ(u.records(4, 19).size(), 11u);
}

// Lines that need parameters: one section-5 record per host and path,
// pointing at one group per distinct set of parameters.
TEST_F(UcfBuild, RequiredParametersBecomeGroups)
{
    tvx_test::run_result r = compile("shop.example.com/cart?b=2&a=1\n"
                                     "shop.example.com/cart?a=1&b=2\n"  // the same group again
                                     "shop.example.com/cart?c=3&&\n"
                                     "shop.example.com/cart?a=1&a=1\n"
                                     "1.2.3.4/q.php?id=7\n");
    ASSERT_EQ(r.status, 0) << r.err;
    ucf_file u = parse(tvx_test::read_file(out));
    std::vector<std::string> recs = u.records(5, 27);
    ASSERT_EQ(recs.size(), 2u);
    std::map<std::string, std::vector<std::vector<std::string>>> groups;  // key -> groups of digests
    for (const std::string &rec : recs) {
        uint32_t off = get32(rec, 19), count = get32(rec, 23);
        std::vector<std::vector<std::string>> gs;
        for (uint32_t g = 0; g < count; ++g) {
            ASSERT_LT(off, u.sec[0].size());
            unsigned c = static_cast<unsigned char>(u.sec[0][off]);
            std::vector<std::string> ds;
            for (unsigned d = 0; d < c; ++d)
                ds.push_back(u.sec[0].substr(off + 1 + 16 * d, 16));
            EXPECT_TRUE(std::is_sorted(ds.begin(), ds.end()));
            gs.push_back(ds);
            off += 1 + 16 * c;
        }
        ASSERT_LE(off, u.sec[0].size());
        std::sort(gs.begin(), gs.end());
        groups[rec.substr(0, 19)] = gs;
    }
    std::vector<std::string> ab = {md5("a=1"), md5("b=2")};
    std::sort(ab.begin(), ab.end());
    std::vector<std::vector<std::string>> shop = {ab, {md5("c=3")}, {md5("a=1")}};
    std::sort(shop.begin(), shop.end());
    EXPECT_EQ(groups[url_record(3, "shop.example.com", "/cart")], shop);
    EXPECT_EQ(groups[url_record(-1, ipv4("1.2.3.4"), "/q.php")],
              (std::vector<std::vector<std::string>>{{md5("id=7")}}));
    EXPECT_FALSE(u.present[4]);
}

// The table the loader reads: empty sections at offset 0, every present
// section ending at the next non-zero entry, the last entry where the
// signature begins; every section sorted and free of repeats.
TEST_F(UcfBuild, TableSortOrderAndRepeats)
{
    std::string list;
    for (int i = 0; i < 300; ++i) {
        std::string n = std::to_string((i * 7919) % 300);
        std::string v4 = "10." + std::to_string(i % 3) + "." + std::to_string(i / 3) + ".9";
        list += "host" + n + ".example/p/" + n + "\n" + n + ".example.org\n" + v4 + "\n" + v4 + "/p\n" +
                "[2001:db8::" + n + "]\n" + "[2001:db8::" + n + "]/p\n" + "host" + n + ".example/s?k=" + n + "\n";
    }
    tvx_test::run_result r = compile(list + list, "Casino\npoker\ncasino\n\n# none\nroulette wheel\n");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string f = tvx_test::read_file(out);
    ucf_file u = parse(f);
    ASSERT_EQ(u.table.size(), 7u);
    EXPECT_EQ(u.table[0], u.type_end);
    EXPECT_EQ(u.table[6], f.size() - 40);
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(u.present[i]) << i;
    for (int i = 0; i + 1 < 6; ++i)
        EXPECT_EQ(u.table[i] + u.sec[i].size(), u.table[i + 1]) << i;

    EXPECT_EQ(u.sec[1], std::string("Casino\0poker\0roulette wheel\0", 28));
    // section, record size, records: 300 names with a path, 300 without, 300
    // IPv4 and 300 IPv6 addresses with a path in section 4.
    const std::tuple<int, size_t, size_t> fixed[] = {{2, 4, 300}, {3, 16, 300}, {4, 19, 1200}, {5, 27, 300}};
    for (auto [s, size, count] : fixed) {
        std::vector<std::string> recs = u.records(s, size);
        EXPECT_EQ(recs.size() * size, u.sec[s].size());
        EXPECT_EQ(recs.size(), count) << "section " << s;
        for (size_t i = 1; i < recs.size(); ++i) {
            bool ordered = s <= 3 ? recs[i - 1] < recs[i] : url_less_equal(recs[i - 1], recs[i]) && recs[i - 1] != recs[i];
            ASSERT_TRUE(ordered) << "section " << s << " record " << i;
        }
    }
    // Levels as signed bytes: IPv6, IPv4, then names by their label counts.
    std::vector<std::string> urls = u.records(4, 19);
    EXPECT_EQ(urls.front()[0], -2);
    EXPECT_EQ(urls[300][0], -1);
    EXPECT_EQ(urls[600][0], 2);
    EXPECT_EQ(urls.back()[0], 3);
}

// Host names up to the label bound, lines up to the length bound and groups
// up to the count byte are taken; the record shows each at its limit.
TEST_F(UcfBuild, EntriesAtTheirBounds)
{
    std::string labels253;
    for (int i = 0; i < 252; ++i)
        labels253 += "a.";
    labels253 += "z";
    std::string pieces255;
    for (int i = 0; i < 255; ++i)
        pieces255 += (i ? "&" : "") + std::to_string(i);
    std::string long_path = "/" + std::string(4096 - 1 - std::string("long.example").size(), 'p');
    std::string line4096 = "long.example" + long_path;
    ASSERT_EQ(line4096.size(), 4096u);
    tvx_test::run_result r = compile(labels253 + "\n" + "many.example/x?" + pieces255 + "\n" + line4096 + "\r\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("3 lines taken, 0 rejected"), std::string::npos) << r.err;
    ucf_file u = parse(tvx_test::read_file(out));
    std::vector<std::string> urls = u.records(4, 19);
    EXPECT_TRUE(has(urls, url_record(253, labels253, ""))) << "level byte 253";
    EXPECT_TRUE(has(urls, url_record(2, "long.example", long_path)));
    ASSERT_EQ(u.records(5, 27).size(), 1u);
    EXPECT_EQ(static_cast<unsigned char>(u.sec[0][0]), 255u);
    EXPECT_EQ(u.sec[0].size(), 1u + 255 * 16);
}

// Each malformed line is reported with its number and why, and the rest
// of the list is compiled.
TEST_F(UcfBuild, MalformedLinesAreRejectedAndReported)
{
    std::string labels254;
    for (int i = 0; i < 253; ++i)
        labels254 += "a.";
    labels254 += "z";
    std::string pieces256;
    for (int i = 0; i < 256; ++i)
        pieces256 += (i ? "&" : "") + std::to_string(i);
    struct row {
        std::string line;
        const char *why;
    };
    const row rows[] = {
        {"a..b.example", "an empty label"},
        {".example.com", "an empty label"},
        {"*.example.com", "a host name holds letters"},
        {"ex%61mple.com", "a host name holds letters"},
        {"/just/a/path", "no host"},
        {"http://", "no host"},
        {"https:///path", "no host"},
        {"exa mple.com/x", "a blank or control character"},
        {"host.example:80x/p", "a \":\" after the host is not followed by a port number"},
        {"host.example:/p", "a \":\" after the host is not followed by a port number"},
        {"[2001:db8::zz]/p", "not an IPv6 address"},
        {"[2001:db8::1/p", "not an IPv6 address"},
        {"host.example?a=1", "a \"?\" before the path"},
        {"host.example/p?&&", "a query of empty parameters"},
        {labels254, "more than 253 labels"},
        {"many.example/x?" + pieces256, "more than 255 parameters"},
        {"long.example/" + std::string(5000, 'p'), "longer than 4096 bytes"},
        {std::string("nul.example/a\0b", 15), "a NUL byte"},
    };
    for (const row &x : rows) {
        tvx_test::run_result r = compile("# a list\ngood.example\n" + x.line + "\n");
        ASSERT_EQ(r.status, 0) << x.why << "\n" << r.err;
        EXPECT_NE(r.err.find("urls:3: " + std::string(x.why)), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("1 lines taken, 1 rejected"), std::string::npos) << r.err;
        ucf_file u = parse(tvx_test::read_file(out));
        EXPECT_EQ(u.records(4, 19), std::vector<std::string>{url_record(2, "good.example", "")}) << x.why;
        EXPECT_FALSE(u.present[5]) << x.why;
    }

    // Only the first few are quoted; the count covers all.
    std::string list = "good.example\n";
    for (int i = 0; i < 8; ++i)
        list += "bad..line" + std::to_string(i) + "\n";
    tvx_test::run_result r = compile(list);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tvx_test::count_of(r.err, "an empty label"), 5u) << r.err;
    EXPECT_NE(r.err.find("3 more rejected lines not shown"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1 lines taken, 8 rejected"), std::string::npos) << r.err;
}

// A folder laid out as public category blacklists are: domains and urls
// compiled as entries, an expressions list noted and left out.
TEST_F(UcfBuild, FolderOfBlacklistFiles)
{
    std::string lists = dir / "adult";
    mkdir(lists.c_str(), 0755);
    tvx_test::write_file(lists + "/domains", "example.com\nwww.example.net\n1.2.3.4\n");
    tvx_test::write_file(lists + "/urls", "example.org/pics\n");
    tvx_test::write_file(lists + "/expressions", "(naked|nude)\n");
    tvx_test::run_result r = tool({"--category", "PORNO", "--key", k_test_private, "-o", out, "--from-lists", lists});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("expressions: expression lists are not compiled; ignored"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("domains: 3 lines taken"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("urls: 1 lines taken"), std::string::npos) << r.err;
    ucf_file u = parse(tvx_test::read_file(out));
    std::vector<std::string> urls = u.records(4, 19);
    EXPECT_EQ(urls.size(), 3u);
    EXPECT_TRUE(has(urls, url_record(2, "example.com", "")));
    EXPECT_TRUE(has(urls, url_record(3, "www.example.net", "")));  // "www." kept as written
    EXPECT_TRUE(has(urls, url_record(2, "example.org", "/pics")));
    EXPECT_EQ(u.sec[2], ipv4("1.2.3.4"));

    // One of the two lists is enough; neither is an error.
    unlink((lists + "/urls").c_str());
    r = tool({"--category", "porno", "--key", k_test_private, "-o", out, "--from-lists", lists});
    EXPECT_EQ(r.status, 0) << r.err;
    unlink((lists + "/domains").c_str());
    r = tool({"--category", "porno", "--key", k_test_private, "-o", out, "--from-lists", lists});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("holds neither"), std::string::npos) << r.err;
}

// Several inputs of different kinds are read in order into one file.
TEST_F(UcfBuild, InputsCombineIntoOneFile)
{
    tvx_test::write_file(dir / "more", "second.example\nfirst.example\n");
    tvx_test::run_result r = compile("first.example\n", "Spin\n", {"--urls", dir / "more", "--substrings", dir / "more"});
    ASSERT_EQ(r.status, 0) << r.err;
    ucf_file u = parse(tvx_test::read_file(out));
    EXPECT_EQ(u.records(4, 19).size(), 2u);
    EXPECT_EQ(u.sec[1], std::string("Spin\0second.example\0first.example\0", 34));
}

TEST_F(UcfBuild, CategoryNamesAndWhiteLists)
{
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"--category", "Chats"}, "chats"},
        {{"--category", "E-MAIL"}, "e-mail"},
        {{"--category", "socialnetwork", "--white"}, "whitelist_socialnetwork"},
        {{"--white", "--category", "MALWARE"}, "whitelist_malware"},
    };
    tvx_test::write_file(dir / "urls", "example.com\n");
    for (const auto &[args, type] : rows) {
        std::vector<std::string> a = args;
        a.insert(a.end(), {"--key", k_test_private, "-o", out, "--urls", dir / "urls"});
        tvx_test::run_result r = tool(a);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(parse(tvx_test::read_file(out)).type, type);
    }
}

// The file written replaces the old one whole, with nothing left beside it.
TEST_F(UcfBuild, OutputIsReplacedWhole)
{
    ASSERT_EQ(compile("one.example\n").status, 0);
    std::string first = tvx_test::read_file(out);
    ASSERT_EQ(compile("two.example\n").status, 0);
    std::string second = tvx_test::read_file(out);
    EXPECT_NE(first, second);
    EXPECT_EQ(parse(second).records(4, 19), std::vector<std::string>{url_record(2, "two.example", "")});
    EXPECT_EQ(tvx_test::list_dir(dir.path()), (std::vector<std::string>{"out.ucf", "urls"}));
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(UcfBuild, ExitStatusAndMessages)
{
    tvx_test::write_file(dir / "urls", "example.com\n");
    tvx_test::write_file(dir / "comments", "# nothing\n\n   \n");
    const std::string missing = dir / "missing";
    struct row {
        std::vector<std::string> args;
        int status;
        const char *says;
    };
    const row rows[] = {
        {{"--bogus"}, 2, "unknown option --bogus"},
        {{}, 2, "nothing to do"},
        {{"--category", "nosuch", "--key", k_test_private, "-o", out, "--urls", dir / "urls"}, 2, "no category"},
        {{"--category", "porno", "--key", k_test_private, "-o", out}, 2, "at least one of"},
        {{"--category", "porno", "--key", k_test_private, "--urls", dir / "urls"}, 2, "needs --category, --key, -o"},
        {{"--dump", out, "--gen-key", dir / "k"}, 2, "separate jobs"},
        {{"--category", "porno", "--key", k_test_private, "-o", out, "--urls"}, 2, "--urls needs a value"},
        {{"--category", "porno", "--key", k_test_private, "-o", out, "--urls", missing}, 1, "cannot open"},
        {{"--category", "porno", "--key", k_test_private, "-o", out, "--urls", dir / "comments"}, 1, "no entry"},
        {{"--category", "porno", "--key", missing, "-o", out, "--urls", dir / "urls"}, 1, "cannot open"},
        {{"--category", "porno", "--key", k_test_public, "-o", out, "--urls", dir / "urls"}, 1, "no private value"},
        {{"--category", "porno", "--key", dir / "urls", "-o", out, "--urls", dir / "urls"}, 1, "is not \"NAME HEX\""},
        {{"--dump", missing}, 1, "cannot open"},
    };
    for (const row &x : rows) {
        tvx_test::run_result r = tool(x.args);
        EXPECT_EQ(r.status, x.status) << x.says << "\n" << r.err;
        EXPECT_NE(r.err.find(x.says), std::string::npos) << r.err;
        if (x.status == 2) {
            EXPECT_NE(r.err.find("usage: ucf-build"), std::string::npos) << r.err;
        }
        EXPECT_FALSE(tvx_test::file_exists(out)) << x.says;
    }
    tvx_test::run_result help = tool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: ucf-build"), std::string::npos);
    EXPECT_NE(help.out.find("socialnetwork"), std::string::npos);
}

// Files signed with the test key verify with its public half, through
// --dump and through the daemon's verifier, and not with another key; a
// file signed with another key the other way round.
TEST_F(UcfBuild, SignaturesVerifyWithTheirKeyOnly)
{
    ASSERT_EQ(tool({"--gen-key", dir / "other.private"}).status, 0);
    const std::string other_public = dir / "other.public";
    ASSERT_EQ(compile("example.com\n").status, 0);
    std::string by_test = tvx_test::read_file(out);
    ASSERT_EQ(tool({"--category", "porno", "--key", dir / "other.private", "-o", dir / "other.ucf", "--urls",
                    dir / "urls"})
                  .status,
              0);
    std::string by_other = tvx_test::read_file(dir / "other.ucf");

    EXPECT_TRUE(verifies(key_of(k_test_public), by_test));
    EXPECT_FALSE(verifies(key_of(other_public), by_test));
    EXPECT_TRUE(verifies(key_of(other_public), by_other));
    EXPECT_FALSE(verifies(key_of(k_test_public), by_other));
    EXPECT_EQ(ucf_signature_valid(reinterpret_cast<const unsigned char *>(by_test.data()), by_test.size()),
              ucf_builtin_key_is_test());

    struct row {
        std::string file, key;
        int status;
        const char *says;
    };
    const row rows[] = {
        {out, k_test_public, 0, "signature: valid"},
        {out, other_public, 1, "signature: INVALID"},
        {dir / "other.ucf", other_public, 0, "signature: valid"},
        {dir / "other.ucf", k_test_public, 1, "signature: INVALID"},
        {dir / "other.ucf", dir / "other.private", 0, "signature: valid"},
    };
    for (const row &x : rows) {
        tvx_test::run_result r = tool({"--dump", x.file, "--key", x.key});
        EXPECT_EQ(r.status, x.status) << x.file << " " << x.key << "\n" << r.out;
        EXPECT_EQ(last_line(r.out), x.says) << r.out;
        EXPECT_EQ(r.out.find("layout:"), std::string::npos) << r.out;
    }
    tvx_test::run_result r = tool({"--dump", out});
    EXPECT_EQ(r.status, ucf_builtin_key_is_test() ? 0 : 1);
}

// A key pair of the daemon's form: p of 512 bits, q of 160 dividing p - 1,
// g of order q, y = g^x mod p; the private half alone holds x and is
// readable by its owner only. Existing key files are never overwritten.
TEST_F(UcfBuild, GeneratedKeysHaveTheDaemonsForm)
{
    const std::pair<std::string, std::string> names[] = {
        {dir / "dist.private", dir / "dist.public"},
        {dir / "signing-key", dir / "signing-key.public"},
    };
    for (const auto &[priv, pub] : names) {
        tvx_test::run_result r = tool({"--gen-key", priv});
        ASSERT_EQ(r.status, 0) << r.err;
        struct stat st;
        ASSERT_EQ(stat(priv.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_TRUE(tvx_test::file_exists(pub)) << pub;

        std::map<std::string, std::string> values[2];
        const std::string texts[2] = {tvx_test::read_file(priv), tvx_test::read_file(pub)};
        for (int f = 0; f < 2; ++f) {
            std::istringstream in(texts[f]);
            std::string line;
            ASSERT_TRUE(std::getline(in, line));
            EXPECT_EQ(line.rfind(f == 0 ? "# URL-category signing key: PRIVATE HALF" : "# URL-category signing key: PUBLIC HALF", 0), 0u)
                << line;
            while (std::getline(in, line)) {
                if (line[0] == '#')
                    continue;
                ASSERT_EQ(line[1], ' ') << line;
                std::string v = line.substr(2);
                EXPECT_EQ(v.find_first_not_of("0123456789ABCDEF"), std::string::npos) << line;
                values[f][line.substr(0, 1)] = v;
            }
        }
        EXPECT_EQ(values[0].size(), 5u);
        EXPECT_EQ(values[1].size(), 4u);
        EXPECT_EQ(values[1].count("x"), 0u);
        for (const char *n : {"p", "q", "g", "y"})
            EXPECT_EQ(values[0][n], values[1][n]) << n;

        BN_CTX *ctx = BN_CTX_new();
        BIGNUM *p = nullptr, *q = nullptr, *g = nullptr, *y = nullptr, *x = nullptr;
        ASSERT_GT(BN_hex2bn(&p, values[0]["p"].c_str()), 0);
        ASSERT_GT(BN_hex2bn(&q, values[0]["q"].c_str()), 0);
        ASSERT_GT(BN_hex2bn(&g, values[0]["g"].c_str()), 0);
        ASSERT_GT(BN_hex2bn(&y, values[0]["y"].c_str()), 0);
        ASSERT_GT(BN_hex2bn(&x, values[0]["x"].c_str()), 0);
        BIGNUM *t = BN_new(), *rem = BN_new();
        EXPECT_EQ(BN_num_bits(p), 512);
        EXPECT_EQ(BN_num_bits(q), 160);
        EXPECT_EQ(BN_check_prime(p, ctx, nullptr), 1);
        EXPECT_EQ(BN_check_prime(q, ctx, nullptr), 1);
        ASSERT_TRUE(BN_sub(t, p, BN_value_one()) && BN_mod(rem, t, q, ctx));
        EXPECT_TRUE(BN_is_zero(rem)) << "q divides p - 1";
        EXPECT_GT(BN_cmp(g, BN_value_one()), 0);
        EXPECT_LT(BN_cmp(g, p), 0);
        ASSERT_TRUE(BN_mod_exp(t, g, q, p, ctx));
        EXPECT_TRUE(BN_is_one(t)) << "g^q mod p = 1";
        EXPECT_FALSE(BN_is_zero(x));
        EXPECT_LT(BN_cmp(x, q), 0);
        ASSERT_TRUE(BN_mod_exp(t, g, x, p, ctx));
        EXPECT_EQ(BN_cmp(t, y), 0) << "y = g^x mod p";
        for (BIGNUM *b : {p, q, g, y, x, t, rem})
            BN_free(b);
        BN_CTX_free(ctx);

        // The daemon's verifier takes the public half as a key.
        EXPECT_TRUE(ucf_verifier(key_of(pub)).ok());

        r = tool({"--gen-key", priv});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
        EXPECT_EQ(tvx_test::read_file(priv), texts[0]);
        EXPECT_EQ(tvx_test::read_file(pub), texts[1]);
    }
    // A public half already there keeps a new private half from being made.
    tvx_test::write_file(dir / "lone.public", "p 1\n");
    EXPECT_EQ(tool({"--gen-key", dir / "lone.private"}).status, 1);
    EXPECT_FALSE(tvx_test::file_exists(dir / "lone.private"));
}

// A file with every section in it, for the dump tests.
class UcfDump : public UcfBuild {
protected:
    void SetUp() override
    {
        tvx_test::run_result r = compile("example.com\nexample.com/a/b\nb.example.org/x\n1.2.3.4\n9.8.7.6\n"
                                         "[2001:db8::1]\n2001:db8::2\n1.2.3.4/admin\n"
                                         "shop.example.com/cart?a=1&b=2\nshop.example.com/cart?c=3\n",
                                         "casino\npoker\n");
        ASSERT_EQ(r.status, 0) << r.err;
        file = tvx_test::read_file(out);
        u = parse(file);
        for (int i = 0; i < 6; ++i)
            ASSERT_TRUE(u.present[i]) << i;
    }
    tvx_test::run_result dump_bytes(const std::string &bytes, std::vector<std::string> extra = {})
    {
        tvx_test::write_file(dir / "t.ucf", bytes);
        std::vector<std::string> args = {"--dump", dir / "t.ucf", "--key", k_test_public};
        args.insert(args.end(), extra.begin(), extra.end());
        return tool(args);
    }
    std::string file;
    ucf_file u;
};

TEST_F(UcfDump, SaysWhatTheFileHolds)
{
    tvx_test::run_result r = dump_bytes(file);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::string t;
    for (uint32_t v : u.table)
        t += " " + std::to_string(v);
    auto extent = [&](int s) {
        return std::to_string(u.table[s]) + ".." + std::to_string(u.table[s] + u.sec[s].size()) + ", " +
               std::to_string(u.sec[s].size()) + " bytes, ";
    };
    const std::string expected[] = {
        "size: " + std::to_string(file.size()) + " bytes\n",
        "table: 7 entries:" + t + "\n",
        "type: \"porno\"\n",
        "section 0 (parameter groups): " + extent(0) + "2 groups, 3 digests\n",
        "section 1 (substrings): " + extent(1) + "2 patterns\n  pattern \"casino\"\n  pattern \"poker\"\n",
        "section 2 (IPv4 addresses): " + extent(2) + "2 records\n  address 1.2.3.4\n  address 9.8.7.6\n",
        "section 3 (IPv6 addresses): " + extent(3) + "2 records\n",
        "section 4 (URLs): " + extent(4) + "4 records\n",
        "  level -1 (IPv4): 1 records, lengths 6..6\n",
        "  level 2: 2 records, lengths 0..4\n",
        "  level 3: 1 records, lengths 2..2\n",
        "section 5 (URLs with parameters): " + extent(5) + "1 records, 2..2 groups per record\n",
        "  level 3: 1 records, lengths 5..5\n",
    };
    for (const std::string &e : expected)
        EXPECT_NE(r.out.find(e), std::string::npos) << e << "\n---\n" << r.out;
    EXPECT_EQ(last_line(r.out), "signature: valid");
    EXPECT_EQ(r.out.find(" digest "), std::string::npos) << "digests only with --verbose";

    r = dump_bytes(file, {"--verbose"});
    ASSERT_EQ(r.status, 0);
    std::string ab = hex(std::min(md5("a=1"), md5("b=2"))) + " " + hex(std::max(md5("a=1"), md5("b=2")));
    const std::string verbose[] = {
        "  url level 2 length 4 digest " + hex(md5("example.com/a/b")) + "\n",
        "  url level -1 (IPv4) length 6 digest " + hex(md5(ipv4("1.2.3.4") + "/admin")) + "\n",
        "  ipv6 " + hex(md5(ipv6("2001:db8::1"))) + "\n",
        "  url level 3 length 5 digest " + hex(md5("shop.example.com/cart")) + " groups 2 at 0\n",
        "    group " + ab + "\n",
        "    group " + hex(md5("c=3")) + "\n",
    };
    for (const std::string &e : verbose)
        EXPECT_NE(r.out.find(e), std::string::npos) << e << "\n---\n" << r.out;
}

// Any byte changed, in the header, a section or the signature, makes the
// signature fail.
TEST_F(UcfDump, AnyChangedByteIsInvalid)
{
    const std::pair<const char *, size_t> where[] = {
        {"magic", 1},
        {"reserved bytes", 40},
        {"type", 47},
        {"section 0", u.table[0] + 5},
        {"section 1", u.table[1]},
        {"section 2", u.table[2] + 3},
        {"section 3", u.table[3] + 15},
        {"section 4", u.table[4]},
        {"section 5", u.table[5] + 26},
        {"r", file.size() - 40},
        {"s", file.size() - 1},
    };
    for (const auto &[what, at] : where) {
        std::string f = file;
        f[at] = static_cast<char>(f[at] ^ 0x01);
        tvx_test::run_result r = dump_bytes(f);
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(last_line(r.out), "signature: INVALID") << what << "\n" << r.out;
    }
}

// Broken layouts are named, whatever the signature; the dump reads no byte
// outside the file (the sanitizer build checks that).
TEST_F(UcfDump, BrokenLayoutsAreNamed)
{
    const size_t size = file.size();
    struct row {
        std::string says;
        std::function<void(std::string &)> breaks;
    };
    const row rows[] = {
        {"the file does not begin with the category-file magic", [](std::string &f) { f[0] = 'X'; }},
        {"a section table of 1073741824 entries does not fit", [](std::string &f) { put32(f, 4, 0x40000000); }},
        {"a section table of 0 entries", [](std::string &f) { put32(f, 4, 0); }},
        {"section 5 ends at " + std::to_string(size + 1000) + ", past the signature",
         [&](std::string &f) { put32(f, 8 + 4 * 6, uint32_t(size + 1000)); }},
        {"section 3 ends at", [&](std::string &f) { put32(f, 8 + 4 * 4, u.table[3] - 1); }},
        {"section 0 starts at 10, inside the header", [](std::string &f) { put32(f, 8, 10); }},
        {"section 4 holds", [&](std::string &f) { put32(f, 8 + 4 * 5, u.table[5] + 1); }},
        {"section 5 starts at " + std::to_string(u.table[5]) + " but no later entry ends it",
         [](std::string &f) { put32(f, 8 + 4 * 6, 0); }},
        {"the last table entry, 0,", [](std::string &f) { put32(f, 8 + 4 * 6, 0); }},
        {"the type string has no terminating zero byte",
         [&](std::string &f) { std::fill(f.begin() + 46, f.end() - 40, 'x'); }},
        {"the type \"qorno\" is not a category", [](std::string &f) { f[46] = 'q'; }},
        {"section 0: the group at 0 announces 255 digests", [&](std::string &f) { f[u.table[0]] = char(255); }},
        {"section 5: record 0 points at 4294967295 groups",
         [&](std::string &f) { put32(f, u.table[5] + 23, 0xFFFFFFFF); }},
        {"section 5: record 0 points at 2 groups at 7 ", [&](std::string &f) { put32(f, u.table[5] + 19, 7); }},
        {"section 4: record 1 sorts before",
         [&](std::string &f) {
             std::string a = f.substr(u.table[4], 19), b = f.substr(u.table[4] + 19, 19);
             f.replace(u.table[4], 19, b);
             f.replace(u.table[4] + 19, 19, a);
         }},
        {"section 2: record 1 sorts before",
         [&](std::string &f) {
             std::string a = f.substr(u.table[2], 4);
             f.replace(u.table[2], 4, f.substr(u.table[2] + 4, 4));
             f.replace(u.table[2] + 4, 4, a);
         }},
        {"section 1: an empty pattern at 0", [&](std::string &f) { f[u.table[1]] = 0; }},
        {"section 1: the last pattern has no terminating zero byte",
         [&](std::string &f) { f[u.table[2] - 1] = 'x'; }},
    };
    for (const row &x : rows) {
        std::string f = file;
        x.breaks(f);
        tvx_test::run_result r = dump_bytes(f);
        EXPECT_EQ(r.status, 1) << x.says << "\n" << r.out;
        EXPECT_NE(r.out.find("layout: " + x.says), std::string::npos) << x.says << "\n---\n" << r.out;
        EXPECT_EQ(last_line(r.out).rfind("signature: ", 0), 0u) << r.out;
    }
}

TEST_F(UcfDump, TruncatedAndGarbageFiles)
{
    for (size_t n = 0; n < file.size(); ++n) {
        tvx_test::run_result r = dump_bytes(file.substr(0, n));
        ASSERT_EQ(r.status, 1) << n << "\n" << r.out << r.err;
        ASSERT_NE(r.out.find("\nlayout: "), std::string::npos) << n << "\n" << r.out;
        ASSERT_EQ(last_line(r.out), "signature: INVALID") << n;
    }
    std::string garbage;
    for (size_t i = 0; i < 5000; ++i)
        garbage += static_cast<char>((i * 2654435761u) >> 13);
    const std::string bodies[] = {garbage, std::string("UCF\0", 4) + garbage,
                                  std::string("UCF\0\0\0\0\7", 8) + std::string(28, '\xff') + garbage};
    for (const std::string &b : bodies) {
        tvx_test::run_result r = dump_bytes(b);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("layout: "), std::string::npos) << r.out;
        EXPECT_EQ(last_line(r.out), "signature: INVALID");
    }
}

}  // namespace
