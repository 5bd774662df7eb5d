// Host-list files as the daemon reads them, the URL test against them and
// the client access check, through real files and socket addresses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "policy/client_acl.h"
#include "policy/host_list.h"
#include "support/log_capture.h"
#include "support/support.h"

using namespace tvx_test;

namespace {

std::vector<std::string> entries(const host_list &l)
{
    std::vector<std::string> out;
    for (const host_entry &e : l)
        out.push_back(std::string(e.type == HOST_ENTRY_IP_STR ? "ip:" : "host:") + e.text);
    return out;
}

host_list build(const std::string &content, int mode)
{
    temp_dir dir;
    write_file(dir / "list.txt", content);
    host_list l;
    host_list_build(l, {dir / "list.txt"}, mode);
    return l;
}

using V = std::vector<std::string>;

}  // namespace

TEST(host_list, lines_become_entries_by_mode)
{
    struct {
        const char *content;
        int mode;
        V expected;
    } cases[] = {
        // A numeric line resolves to itself.
        {"127.0.0.5\n", HOST_LIST_BOTH, {"host:127.0.0.5", "ip:127.0.0.5"}},
        {"127.0.0.5\n", HOST_LIST_NAMES, {"host:127.0.0.5"}},
        {"127.0.0.5\n", HOST_LIST_ADDRESSES, {"ip:127.0.0.5"}},
        // Comments and blank lines add nothing; a blank before "#" makes an entry.
        {";x\n#y\n   \n\t\n\n #z\n", HOST_LIST_NAMES, {"host: #z"}},
        // The text is the line without its line feed: blanks and CR stay.
        {"a.example \nb.example\r\n\tc.example", HOST_LIST_NAMES, {"host:a.example ", "host:b.example\r", "host:\tc.example"}},
        // Files in order, lines in order.
        {"two.example\none.example\n", HOST_LIST_NAMES, {"host:two.example", "host:one.example"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(entries(build(c.content, c.mode)), c.expected) << c.content;
}

TEST(host_list, a_name_gets_its_resolved_addresses_and_an_unresolvable_one_is_logged)
{
    log_capture log(0xFF);
    host_list l = build("localhost\nno-such-host.invalid\n", HOST_LIST_BOTH);
    V got = entries(l);
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got.front(), "host:localhost");
    EXPECT_EQ(got[1], "ip:127.0.0.1");
    EXPECT_EQ(got.back(), "host:no-such-host.invalid");
    EXPECT_NE(log.text().find("dns resolver error for host: 'no-such-host.invalid': "), std::string::npos);

    // An access list whose only line does not resolve is empty.
    EXPECT_TRUE(build("no-such-host.invalid\n", HOST_LIST_ADDRESSES).empty());
}

TEST(host_list, an_overlong_line_is_read_in_pieces)
{
    std::string line(HOST_LIST_LINE_MAX + 10, 'a');
    V got = entries(build(line + "\n", HOST_LIST_NAMES));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "host:" + std::string(HOST_LIST_LINE_MAX, 'a'));
    EXPECT_EQ(got[1], "host:" + std::string(10, 'a'));
}

TEST(host_list, a_missing_file_stops_the_load_with_its_name)
{
    log_capture log(0xFF);
    host_list l;
    try {
        host_list_build(l, {"/nonexistent/white.txt"}, HOST_LIST_BOTH);
        FAIL() << "no error";
    } catch (const host_list_error &e) {
        EXPECT_STREQ(e.what(), "can not open file with hosts list '/nonexistent/white.txt'");
    }
    EXPECT_TRUE(log.has("can not open file with hosts list '/nonexistent/white.txt'\n"));
}

TEST(host_list, printed_listing)
{
    log_capture log(0xFF);
    host_list_print(host_list(), "AclList");
    host_list_print(build("127.0.0.5\n", HOST_LIST_BOTH), "BlackHosts");
    EXPECT_TRUE(log.has("Empty list AclList\n"));
    EXPECT_TRUE(log.has("list BlackHosts:\n"));
    EXPECT_TRUE(log.has(" 127.0.0.5 type: host\n"));
    EXPECT_TRUE(log.has(" 127.0.0.5 type: ip_str\n"));
}

TEST(host_list, urls_match_host_entries_after_decoding)
{
    host_list l = build("example.com\nspaced host\n", HOST_LIST_NAMES);
    struct {
        const char *url;
        bool match;
    } cases[] = {
        {"http://example.com/x", true},
        {"http://cdn.example.com.evil/x", true},        // anywhere in the URL
        {"http://other.test/?u=example.com", true},     // the query alike
        {"http://EXAMPLE.COM/x", false},                // case matters
        {"http://example%2ecom/", true},                // escapes decoded first
        {"http://example%2Ecom/", true},
        {"http://example%2com/", false},                // "%2c" is a comma
        {"http://example.co%m/", false},                // a lone "%" stays
        {"http://spaced+host/", true},                  // "+" is a blank
        {"", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_host_in_list(c.url, l), c.match) << c.url;
    EXPECT_FALSE(is_host_in_list("http://example.com/", host_list()));

    log_capture log(0xFF);
    is_host_in_list("http://example%2ecom/a", l);
    EXPECT_TRUE(log.has("is_host_in_list: addr [example.com] is substr of [http://example.com/a]\n"));
}

TEST(host_list, an_entry_with_a_trailing_blank_needs_the_blank)
{
    host_list l = build("example.com \n", HOST_LIST_NAMES);
    EXPECT_FALSE(is_host_in_list("http://example.com/", l));
    EXPECT_TRUE(is_host_in_list("http://x/?q=example.com+and", l));
}

// Resolved addresses match a URL whose host is that address, written in
// any of its forms, and never a longer address that merely contains it.
TEST(host_list, resolved_addresses_match_a_url_host_that_is_the_address)
{
    host_list l = build("localhost\n", HOST_LIST_BOTH);
    l.push_back(host_entry{HOST_ENTRY_IP_STR, "2001:db8::1"});
    struct {
        const char *url;
        bool match;
    } cases[] = {
        {"http://127.0.0.1/", true},
        {"http://127.0.0.1:8080/x?y", true},
        {"127.0.0.1", true},
        {"http://user@127.0.0.1/", true},
        {"http://127.0.0.10/", false},
        {"http://[2001:db8::1]/", true},
        {"http://[2001:DB8:0::1]:443/", true},
        {"http://[2001:db8::10]/", false},
        {"http://localhost.example/", true},  // the host entry itself
        {"http://example.org/127.0.0.1", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_host_in_list(c.url, l), c.match) << c.url;
}

namespace {

sockaddr_storage v4(const char *a)
{
    sockaddr_storage ss{};
    auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
    sin->sin_family = AF_INET;
    inet_pton(AF_INET, a, &sin->sin_addr);
    return ss;
}

sockaddr_storage v6(const char *a)
{
    sockaddr_storage ss{};
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    sin6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, a, &sin6->sin6_addr);
    return ss;
}

const sockaddr *sa(const sockaddr_storage &ss) { return reinterpret_cast<const sockaddr *>(&ss); }

}  // namespace

TEST(client_acl, address_texts)
{
    sockaddr_storage a = v4("10.0.0.12"), b = v6("2001:db8::7"), c = v6("::ffff:10.0.0.12");
    EXPECT_EQ(acl_address_text(sa(a), sizeof(sockaddr_in)), "10.0.0.12");
    EXPECT_EQ(acl_address_text(sa(b), sizeof(sockaddr_in6)), "2001:db8::7");
    EXPECT_EQ(acl_address_text(sa(c), sizeof(sockaddr_in6)), "10.0.0.12");
    // Too short for its family, or a family without an address text.
    EXPECT_EQ(acl_address_text(sa(a), 4), "?");
    sockaddr_storage u{};
    u.ss_family = AF_UNIX;
    EXPECT_EQ(acl_address_text(sa(u), sizeof(sockaddr_un)), "?");
}

TEST(client_acl, only_listed_addresses_are_admitted)
{
    host_list acl = build("10.0.0.12\n", HOST_LIST_ADDRESSES);
    sockaddr_storage in = v4("10.0.0.12"), out = v4("10.0.0.1"), mapped = v6("::ffff:10.0.0.12");
    log_capture log(0xFF);
    EXPECT_TRUE(acl_admits(sa(in), sizeof(sockaddr_in), acl));
    EXPECT_TRUE(acl_admits(sa(mapped), sizeof(sockaddr_in6), acl));
    EXPECT_TRUE(log.has("Find ip 10.0.0.12 in acl\n"));
    EXPECT_FALSE(acl_admits(sa(out), sizeof(sockaddr_in), acl));
    EXPECT_TRUE(log.has("Block ip 10.0.0.1: not in acl\n"));
    sockaddr_storage u{};
    u.ss_family = AF_UNIX;
    EXPECT_FALSE(acl_admits(sa(u), sizeof(sockaddr_un), acl));
    EXPECT_TRUE(log.has("Block ip ?: not in acl\n"));
}
