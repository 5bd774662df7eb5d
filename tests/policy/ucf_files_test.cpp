// URL-category files: what a load takes, files and skips, and what a URL
// matches, with files compiled by ucf-build or made byte by byte.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/log.h"
#include "policy/ucf_files.h"
#include "support/log_capture.h"
#include "support/support.h"
#include "support/ucf_fixture.h"
#include "util/md5.h"

using namespace tvx_test;

namespace {

class ucf_files_test : public ::testing::Test {
protected:
    temp_dir dir;
    ucf_categories db;
    std::string path(const std::string &name) const { return dir / name; }

    bool load() { return ucf_files_load(db, dir.path() + "/"); }
    // Blocked with every category on (or only those in on), matched text in *matched.
    bool blocked(const std::string &url, std::string *matched = nullptr, const std::vector<int> &on = {},
                 const host_list *white = nullptr)
    {
        ucf_query q;
        q.url = url.c_str();
        q.white_hosts = white;
        q.enabled = [&on](int c) { return on.empty() || std::find(on.begin(), on.end(), c) != on.end(); };
        std::string out;
        bool b = ucf_files_is_blocked(db, q, out);
        if (matched)
            *matched = out;
        return b;
    }
};

std::string md5_bytes(const std::string &s)
{
    unsigned char d[TVX_MD5_SIZE];
    tvx_md5_of(s.data(), s.size(), d);
    return std::string(reinterpret_cast<char *>(d), TVX_MD5_SIZE);
}

}  // namespace

TEST_F(ucf_files_test, what_the_files_match)
{
    ucf_compile(path("porno.ucf"), "porno",
                "three.labels.example\n"
                "shop.test/adult/\n"
                "pages.test/a/b\n"
                "10.9.8.7\n"
                "10.1.1.1/private/\n"
                "[2001:db8::5]/x\n"
                "param.test/p?a=1&b=2\n"
                "param.test/q?\n",
                "badword\n");
    ASSERT_TRUE(load());
    ASSERT_EQ(db.category[0].files.size(), 1u);
    struct {
        const char *url;
        const char *matched;  // nullptr: not blocked
    } cases[] = {
        {"http://three.labels.example/", "three.labels.example"},
        {"http://www.three.labels.example/x/y", "three.labels.example"},  // a longer host
        {"http://labels.example/", nullptr},                              // a shorter one
        {"https://three.labels.example:8443/", "three.labels.example"},   // port dropped
        {"three.labels.example:80", "three.labels.example"},
        {"http://shop.test/adult/x.html", "shop.test/adult/"},
        {"http://shop.test/adultx", nullptr},                             // segments, not prefixes
        {"http://pages.test/a/b/c", "pages.test/a/b"},
        {"http://pages.test/a/b", "pages.test/a/b"},
        {"http://pages.test/a/bc", nullptr},
        {"http://10.9.8.7/", "10.9.8.7"},                                 // the address table
        {"http://10.9.8.7:3128/x", "10.9.8.7"},
        {"http://10.1.1.1/private/y", "10.1.1.1/private/"},               // the address digest
        {"http://10.1.1.1/public/", nullptr},
        {"http://[2001:db8::5]/x/y", "[2001:db8::5]/x"},
        {"http://[2001:db8:0::5]:80/x", "[2001:db8:0::5]/x"},             // the host as written, no port
        {"http://param.test/p?b=2&a=1", "param.test/p?b=2&a=1"},          // pieces in any order
        {"http://param.test/p?a=1&c=3&b=2", "param.test/p?a=1&c=3&b=2"},
        {"http://param.test/p?a=1", nullptr},                             // a piece missing
        {"http://param.test/p", nullptr},
        {"http://param.test/q?z", "param.test/q"},
        {"http://any.test/?q=BadWord", "badword"},                        // substrings ignore case
        {"http://param%2etest/p?a%3d1&b=2", "param.test/p?a=1&b=2"},      // decoded first
        {"http://shop.test/adult%2", nullptr},
        {"http://example.com/", nullptr},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        std::string m;
        bool b = blocked(c.url, &m);
        EXPECT_EQ(b, c.matched != nullptr) << c.url;
        if (b && c.matched) {
            EXPECT_EQ(m, c.matched) << c.url;
        }
    }
}

TEST_F(ucf_files_test, levels_tried_for_a_three_label_host)
{
    // A record at each level of "a.b.c" and one at level 4, which a
    // three-label host never reaches.
    ucf_compile(path("l1.ucf"), "violence", "c\n");
    ucf_compile(path("l4.ucf"), "weapon", "x.a.b.c\n");
    ASSERT_TRUE(load());
    std::string m;
    EXPECT_TRUE(blocked("http://a.b.c/", &m, {1}));
    EXPECT_EQ(m, "c");
    EXPECT_FALSE(blocked("http://a.b.c/", &m, {2}));
    EXPECT_TRUE(blocked("http://x.a.b.c/", &m, {2}));
}

TEST_F(ucf_files_test, switches_white_files_and_exempt_hosts)
{
    ucf_compile(path("porno.ucf"), "porno", "bad.example\nwhite.example\n");
    ucf_compile(path("porno-white.ucf"), "porno", "white.example\n", "", true);
    ucf_compile(path("gamble.ucf"), "gamble", "white.example\n");
    ASSERT_TRUE(load());
    ASSERT_EQ(db.category[0].white.size(), 1u);

    log_capture log(0xFF);
    std::string m;
    EXPECT_TRUE(blocked("http://bad.example/", &m, {0}));
    EXPECT_FALSE(blocked("http://bad.example/", &m, {3}));  // porno switched off
    // The white file keeps porno from blocking; gamble still does.
    EXPECT_FALSE(blocked("http://white.example/", &m, {0}));
    EXPECT_TRUE(log.has("Skip check url:[white.example/] for ucf:[porno] due to white ucf files ( match_with:[white.example] )\n"));
    EXPECT_TRUE(blocked("http://white.example/", &m, {0, 3}));
    EXPECT_TRUE(log.has("url:[white.example/], match_with:[white.example], ucf:[gamble]\n"));

    // Hosts exempt by WhiteUcfFiles are never blocked by a category file.
    host_list exempt{host_entry{HOST_ENTRY_HOST, "bad.example"}};
    EXPECT_FALSE(blocked("http://bad.example/x", &m, {}, &exempt));
    EXPECT_TRUE(log.has("Skip checking [bad.example/x] host due to WhiteUcfFiles\n"));
}

TEST_F(ucf_files_test, bad_files_are_logged_and_skipped_while_the_others_load)
{
    ucf_compile(path("good.ucf"), "porno", "bad.example\n");
    std::vector<unsigned char> good = read_bytes(path("good.ucf"));

    std::vector<unsigned char> flipped = good;
    flipped[flipped.size() / 2] ^= 1;
    write_bytes(path("flipped.ucf"), flipped);
    std::vector<unsigned char> magic = good;
    magic[0] = 'X';
    write_bytes(path("magic.ucf"), magic);
    write_bytes(path("short.ucf"), std::vector<unsigned char>(good.begin(), good.begin() + 43));
    std::vector<unsigned char> min44(good.begin(), good.begin() + 44);
    write_bytes(path("min44.ucf"), min44);
    // Signed, but the header claims more table entries than the file has.
    std::vector<unsigned char> big_table = good;
    ucf_put32(big_table.data() + 4, 0x40000000u);
    ucf_resign(big_table);
    write_bytes(path("table.ucf"), big_table);
    // Signed, but a section runs into the signature.
    std::vector<unsigned char> outside = good;
    ucf_put32(outside.data() + 8 + 4 * 6, static_cast<uint32_t>(outside.size() - 10));
    ucf_resign(outside);
    write_bytes(path("outside.ucf"), outside);
    write_bytes(path("unknown.ucf"), ucf_image("sports", {"", "x"}));
    write_bytes(path("upper.ucf"), ucf_image("WHITELIST_porno", {"", "x"}));
    write_bytes(path("white.UCF"), ucf_image("whitelist_PORNO", {"", "zzzz"}));
    write_file(path("notes.txt"), "x");
    mkdir(path("dir.ucf").c_str(), 0700);

    log_capture log(0xFF);
    ASSERT_TRUE(load());
    EXPECT_EQ(db.category[0].files.size(), 1u);
    EXPECT_EQ(db.category[0].white.size(), 1u);
    EXPECT_EQ(db.file_count(), 2u);
    for (const char *name : {"flipped.ucf", "min44.ucf"})
        EXPECT_TRUE(log.has("Wrong signature in url file " + path(name) + "\n")) << name;
    for (const char *name : {"magic.ucf", "short.ucf", "outside.ucf"})
        EXPECT_TRUE(log.has("Wrong ucf format in file " + path(name) + "...\n")) << name;
    EXPECT_TRUE(log.has("Wrong ucf offsets in file " + path("table.ucf") + "...\n"));
    EXPECT_TRUE(log.has("Unknown type sports in ucf file " + path("unknown.ucf") + "\n"));
    EXPECT_TRUE(log.has("Unknown type WHITELIST_porno in ucf file " + path("upper.ucf") + "\n"));
    EXPECT_TRUE(log.has("Skip " + path("notes.txt") + "\n"));
    EXPECT_TRUE(log.has("Skip " + path("dir.ucf") + "\n"));
    EXPECT_NE(log.text().find("Success initialize ucf-file " + path("good.ucf") + " (type: porno, size: "),
              std::string::npos);
    EXPECT_TRUE(blocked("http://bad.example/"));
}

TEST_F(ucf_files_test, parameter_groups_are_bounded_by_their_section)
{
    // A URL record whose group offset and count point past section 0:
    // the lookup finds the record and must not read beyond the groups.
    std::string key = "param.test/p";
    ucf_url_key k;
    k.level = 2;
    k.length = 2;
    tvx_md5_of(key.data(), key.size(), k.digest);
    struct {
        uint32_t offset, count;
        std::string groups;
        bool match;
    } cases[] = {
        {0, 1, std::string("\x01", 1) + md5_bytes("a=1"), true},
        {0, 1, std::string("\x02", 1) + md5_bytes("a=1"), false},    // the second digest is missing
        {0, 2, std::string("\x01", 1) + md5_bytes("x=9") + "\x05", false},  // the second group runs out
        {1000, 1, std::string("\x00", 1), false},                    // offset past the section
        {0, 0xFFFFFFFFu, std::string("\x00", 1), true},              // a group of no pieces
        {0, 0xFFFFFFFFu, std::string("\x03\x03", 2), false},
    };
    for (const auto &c : cases) {
        std::string rec(UCF_URL_PARAMS_RECORD, '\0');
        ucf_key_write(k, reinterpret_cast<unsigned char *>(&rec[0]));
        ucf_put32(reinterpret_cast<unsigned char *>(&rec[UCF_URL_RECORD]), c.offset);
        ucf_put32(reinterpret_cast<unsigned char *>(&rec[UCF_URL_RECORD + 4]), c.count);
        write_bytes(path("p.ucf"), ucf_image("porno", {c.groups, "", "", "", "", rec}));
        ASSERT_TRUE(load());
        ASSERT_EQ(db.file_count(), 1u);
        EXPECT_EQ(blocked("http://param.test/p?a=1"), c.match) << c.offset << " " << c.count;
    }
}

TEST_F(ucf_files_test, a_delivered_file_replaces_its_target_and_is_loaded_once)
{
    ucf_compile(path("porno.ucf"), "porno", "old.example\n");
    ucf_compile(path("porno.ucf.cache"), "porno", "new.example\n");
    log_capture log(0xFF);
    ASSERT_TRUE(load());
    EXPECT_EQ(db.file_count(), 1u);
    EXPECT_TRUE(blocked("http://new.example/"));
    EXPECT_FALSE(blocked("http://old.example/"));
    EXPECT_FALSE(file_exists(path("porno.ucf.cache")));
    EXPECT_TRUE(log.has("rename from " + path("porno.ucf.cache") + " to " + path("porno.ucf") + "...\n"));
    // The next load finds the file in its place.
    ASSERT_TRUE(load());
    EXPECT_TRUE(blocked("http://new.example/"));
}

TEST_F(ucf_files_test, an_unreadable_directory_fails_the_load)
{
    log_capture log(0xFF);
    EXPECT_FALSE(ucf_files_load(db, "/nonexistent/ucf/"));
    EXPECT_TRUE(log.has("Can`t open directory /nonexistent/ucf/ for reading: No such file or directory\n"));
}
