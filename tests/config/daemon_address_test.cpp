// Address values and scanning-daemon pid files parsed into address lists:
// schemes, separators, limits, the logged reasons for every rejection.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "config/daemon_address.h"
#include "log/log.h"
#include "support/log_capture.h"

namespace {

std::string entries(const std::vector<DaemonAddress> &list)
{
    std::string s;
    for (const DaemonAddress &a : list)
        s += std::string(daemon_address_type_name(a.type)) + "|" + a.serv + "|" + a.host + ";";
    return s;
}

TEST(DaemonAddress, Values)
{
    const std::string w8191 = "local:" + std::string(8191 - 6, 'a');
    const std::string w8192 = w8191 + "a";
    const std::string p63(63, '9'), p64(64, '9');
    struct {
        std::string value;
        bool ok;
        std::string want;    // entries after the call
        std::string logged;  // expected error line ending, "" for none
    } cases[] = {
        {"inet:3000@127.0.0.1", true, "inet|3000|127.0.0.1;", ""},
        {"local:/tmp/scan.sock, inet:3000@localhost", true, "local||/tmp/scan.sock;inet|3000|localhost;", ""},
        {"INET:3000@host", true, "inet|3000|host;", ""},
        {"in:3000@host", true, "inet|3000|host;", ""},
        {":3000@host", true, "inet|3000|host;", ""},
        {"L:/s", true, "local||/s;", ""},
        {"local:", true, "local||;", ""},
        {"inet:3000@host extra", true, "inet|3000|host;", ""},
        {"  inet:1@a\tjunk", true, "inet|1|a;", ""},
        {"inet:1@a@b", true, "inet|1|a@b;", ""},
        {",,inet:1@a,,,local:/x,", true, "inet|1|a;local||/x;", ""},
        {"inet:1@a, ,inet:2@b", true, "inet|1|a;", ""},
        {"", true, "", ""},
        {"inetx:3000@host", false, "", "Error in address inetx:3000@host\n"},
        {"localhost:/x", false, "", "Error in address localhost:/x\n"},
        {"inet:3000", false, "", "Error in address :3000 - absent '@'\n"},
        {"nocolon", false, "", "Error in address nocolon - absent ':'\n"},
        {"local:/a,inetx:1@b,local:/c", false, "local||/a;", "Error in address inetx:1@b\n"},
        {w8191, true, "local||" + w8191.substr(6) + ";", ""},
        {w8192, false, "", "Error in address " + w8192.substr(0, 100)},
        {"inet:" + p63 + "@h", true, "inet|" + p63 + "|h;", ""},
        {"inet:" + p64 + "@h", false, "", "Error in address inet:" + p64 + "@h\n"},
    };
    for (auto &c : cases) {
        log_capture log(0);
        std::vector<DaemonAddress> list;
        EXPECT_EQ(daemon_address_parse(c.value, list), c.ok) << c.value.substr(0, 80);
        EXPECT_EQ(entries(list), c.want) << c.value.substr(0, 80);
        std::string text = log.text();
        if (c.logged.empty())
            EXPECT_EQ(text, "") << c.value.substr(0, 80);
        else
            EXPECT_NE(text.find("ERROR " + c.logged), std::string::npos) << text.substr(0, 200);
    }
}

TEST(DaemonAddress, AppendsAndLogsEveryEntry)
{
    log_capture log(LOG_L_FLOW);
    std::vector<DaemonAddress> list;
    daemon_address_add(DAEMON_ADDR_INET, "9", "old", list);
    ASSERT_TRUE(daemon_address_parse("inet:3000@10.1.2.3", list));
    EXPECT_EQ(entries(list), "inet|9|old;inet|3000|10.1.2.3;");
    EXPECT_NE(log.text().find("DEBUG Type 1 serv \"3000\" host 10.1.2.3\n"), std::string::npos)
        << log.text();
}

TEST(DaemonAddress, TypeNames)
{
    EXPECT_STREQ(daemon_address_type_name(DAEMON_ADDR_INET), "inet");
    EXPECT_STREQ(daemon_address_type_name(DAEMON_ADDR_LOCAL), "local");
    EXPECT_STREQ(daemon_address_type_name(0), "???");
    EXPECT_STREQ(daemon_address_type_name(3), "???");
}

class PidFileTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/tvx-pid-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        for (const std::string &f : files)
            unlink(f.c_str());
        rmdir(dir.c_str());
    }
    std::string write(const std::string &name, const std::string &body)
    {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << body;
        files.push_back(path);
        return path;
    }
    std::vector<std::string> files;
};

TEST_F(PidFileTest, Contents)
{
    struct {
        std::string body;
        bool ok;
        std::string want;
    } cases[] = {
        {"1234\n/tmp/d.sock\n10.0.0.1:3000\n", true, "local||/tmp/d.sock;inet|3000|10.0.0.1;"},
        {"1234\n/tmp/d.sock", true, "local||/tmp/d.sock;"},
        {"1234\n\n", true, "local||;"},
        {"1234\n", true, ""},
        {"1234", true, ""},
        {"\nh:1:2\n", true, "inet|1:2|h;"},
        {std::string(20000, '1') + "\n/s\n", true, "local||/s;"},
        {"1234\n/a\n" + std::string(9000, 'x') + "\n/b\n", false, "local||/a;"},
    };
    int n = 0;
    for (auto &c : cases) {
        std::string path = write("p" + std::to_string(n++), c.body);
        std::vector<DaemonAddress> list;
        EXPECT_EQ(daemon_address_read_pid_file(path, list), c.ok) << c.body.substr(0, 40);
        EXPECT_EQ(entries(list), c.want) << c.body.substr(0, 40);
    }
}

TEST_F(PidFileTest, ThroughPidScheme)
{
    std::string path = write("tavexd.pid", "77\n/run/tavexd.sock\n127.0.0.1:3000\n");
    log_capture log(LOG_L_FLOW | LOG_L_TRACE);
    std::vector<DaemonAddress> list;
    ASSERT_TRUE(daemon_address_parse("p:" + path + ",local:/z", list));
    EXPECT_EQ(entries(list), "local||/run/tavexd.sock;inet|3000|127.0.0.1;local||/z;");
    std::string text = log.text();
    EXPECT_NE(text.find("Parsing tavexd pid file: " + path + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("PidFile: skip first line: \"77\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("PidFile: parsing line: \"127.0.0.1:3000\"\n"), std::string::npos) << text;
}

TEST_F(PidFileTest, Failures)
{
    std::string empty = write("empty.pid", "");
    std::string missing = dir + "/missing.pid";
    struct {
        std::string path;
        std::string logged;
    } cases[] = {
        {empty, "ERROR PidFile: error while reading first line: " + empty + "\n"},
        {missing, "ERROR Error opening pid file " + missing + ": No such file or directory\n"},
        {dir, "ERROR PidFile: error while reading first line: " + dir + "\n"},
    };
    for (auto &c : cases) {
        log_capture log(0);
        std::vector<DaemonAddress> list;
        EXPECT_FALSE(daemon_address_parse("pid:" + c.path, list)) << c.path;
        EXPECT_TRUE(list.empty());
        EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();
    }
}

}  // namespace
