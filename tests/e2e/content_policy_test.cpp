// The content policy through the real daemon: black- and white-listed
// hosts, the client access list, and URL categories from signed files
// built by ucf-build, with their switches, overrides and exemptions.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

#include "support/support.h"
#include "support/tavexd_process.h"
#include "support/ucf_fixture.h"
#include "tavexd/tvd_eicar.h"

using namespace tvx_test;

namespace {

class content_policy : public ::testing::Test {
protected:
    tavexd_process scanner;
    daemon_process icapd;
    temp_dir lists;

    void start(const std::string &extra)
    {
        ASSERT_TRUE(scanner.start()) << scanner.stderr_text();
        ASSERT_TRUE(icapd.start("TavexAddress = " + scanner.local_address() + "\n" + extra)) << icapd.stderr_text();
    }
    std::string list(const std::string &name, const std::string &content)
    {
        write_file(lists / name, content);
        return "\"" + lists / name + "\"";
    }
    static std::string req_hdr(const std::string &host, const std::string &path)
    {
        return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    }
    std::string head(const std::string &method, const std::string &fields, const std::string &enc) const
    {
        std::string port = std::to_string(icapd.port());
        return method + " icap://127.0.0.1:" + port + "/av ICAP/1.0\r\nHost: 127.0.0.1:" + port + "\r\n" + fields +
               "Encapsulated: " + enc + "\r\n\r\n";
    }
    // A REQMOD for a GET of http://host/path.
    bool reqmod(const std::string &host, const std::string &path, icap_reply &r, const std::string &fields = "")
    {
        icap_conn c;
        std::string h = req_hdr(host, path);
        return c.connect(icapd.port()) &&
               c.send(head("REQMOD", "Allow: 204\r\n" + fields, "req-hdr=0, null-body=" + std::to_string(h.size())) +
                      h) &&
               c.read_reply(r);
    }
    // A RESPMOD of body for http://host/path, whole, 204 allowed.
    bool respmod(const std::string &host, const std::string &path, const std::string &body, icap_reply &r)
    {
        icap_conn c;
        std::string rq = req_hdr(host, path);
        std::string hdr = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n";
        return c.connect(icapd.port()) &&
               c.send(head("RESPMOD", "Allow: 204\r\n",
                           "req-hdr=0, res-hdr=" + std::to_string(rq.size()) +
                               ", res-body=" + std::to_string(rq.size() + hdr.size())) +
                      rq + hdr + chunked(body)) &&
               c.read_reply(r);
    }
    static bool blocked(const icap_reply &r)
    {
        auto info = r.fields.find("x-response-info");
        return r.status == 200 && info != r.fields.end() && info->second == "Report" &&
               r.body.find("<title>Access to this address is blocked</title>") != std::string::npos;
    }
};

}  // namespace

TEST_F(content_policy, black_listed_hosts_get_the_block_page_and_white_listed_ones_skip_the_scan)
{
    start("LogLevel = 3\nBlackHosts = " + list("black.txt", "# shops\nbad.example\n") +
          "\nWhiteHosts = " + list("white.txt", "trusted.example\n") + "\n");
    icap_reply r;
    ASSERT_TRUE(reqmod("bad.example", "/x", r));
    EXPECT_TRUE(blocked(r)) << r.raw;
    EXPECT_TRUE(icapd.wait_log("url:[bad.example/x], content-type: , size=-1 -> in black list\n"))
        << icapd.log();
    ASSERT_TRUE(respmod("cdn.bad.example", "/f.bin", "plain", r));
    EXPECT_TRUE(blocked(r));

    // The EICAR body of a white-listed host is not sent to the scanner; the
    // same body from anywhere else is.
    ASSERT_TRUE(respmod("trusted.example", "/eicar.com", tvd_eicar(), r));
    EXPECT_EQ(r.status, 200) << r.raw_head;
    EXPECT_EQ(r.body, tvd_eicar());
    EXPECT_EQ(r.raw_head.find("X-Infection-Found"), std::string::npos) << r.raw_head;
    EXPECT_TRUE(icapd.wait_log("in white list -> skip check for viruses\n"));
    ASSERT_TRUE(respmod("other.example", "/eicar.com", tvd_eicar(), r));
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.raw_head.find("X-Infection-Found"), std::string::npos) << r.raw_head;

    // Neither list touches other hosts: the request goes on unchanged.
    ASSERT_TRUE(reqmod("fine.example", "/", r));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.http_header, req_hdr("fine.example", "/"));
}

TEST_F(content_policy, a_client_outside_the_access_list_is_closed_without_a_reply)
{
    start("AclList = " + list("acl.txt", "10.0.0.12\n") + "\n");
    icap_conn c;
    ASSERT_TRUE(c.connect(icapd.port()));
    c.send("OPTIONS icap://127.0.0.1/av ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(c.wait_closed());
    EXPECT_TRUE(icapd.wait_log("Block ip 127.0.0.1: not in acl\n"));

    // Listed (by a name that resolves to it), the client is served.
    icapd.rewrite_config("TavexAddress = " + scanner.local_address() + "\nAclList = " +
                         list("acl.txt", "10.0.0.12\nlocalhost\n") + "\n");
    ASSERT_EQ(kill(icapd.pid(), SIGHUP), 0);
    EXPECT_TRUE(eventually([&] {
        icap_reply r;
        return reqmod("fine.example", "/", r) && r.http_header == req_hdr("fine.example", "/");
    }));
}

TEST_F(content_policy, a_missing_list_file_fails_the_start_and_a_reload_keeps_the_running_lists)
{
    // At start-up: the line, and exit status 1.
    temp_dir dir;
    write_file(dir / "c.ini",
               base_config(dir.path(), free_tcp_port()) + "WhiteHosts = \"" + lists / "absent.txt" + "\"\n");
    run_result res = run_program({TVX_DAEMON_PATH, "-m", "-f", dir / "c.ini"});
    EXPECT_EQ(res.status, 1);
    EXPECT_NE(read_file(dir / "icapd.log").find("can not open file with hosts list '" + lists / "absent.txt" + "'\n"),
              std::string::npos);

    start("BlackHosts = " + list("black.txt", "bad.example\n") + "\n");
    icapd.rewrite_config("TavexAddress = " + scanner.local_address() + "\nBlackHosts = \"" + lists / "absent.txt" +
                         "\"\n");
    ASSERT_EQ(kill(icapd.pid(), SIGHUP), 0);
    EXPECT_TRUE(icapd.wait_log("Error in tvxid_init(): can not open file with hosts list '" + lists / "absent.txt" +
                               "'\n"));
    icap_reply r;
    ASSERT_TRUE(reqmod("bad.example", "/x", r));
    EXPECT_TRUE(blocked(r));
}

TEST_F(content_policy, category_files_block_by_switch_override_and_exemption)
{
    const std::string ucf = icapd.dir() / "ucf";
    mkdir(ucf.c_str(), 0700);
    ucf_compile(ucf + "/porno.ucf", "porno", "porno.example\nexempt.example\n");
    ucf_compile(ucf + "/porno-white.ucf", "porno", "safe.porno.example\n", "", true);
    ucf_compile(ucf + "/chats.ucf", "chats", "chat.example\n");
    std::vector<unsigned char> bad = read_bytes(ucf + "/chats.ucf");
    bad[bad.size() - 1] ^= 0x40;
    write_bytes(ucf + "/broken.ucf", bad);
    start("LogLevel = 1\nWhiteUcfFiles = " + list("exempt.txt", "exempt.example\n") +
          "\n[match]\nif request_username == \"teen\" {\n    BlockChats = yes\n}\n");
    EXPECT_TRUE(icapd.wait_log("Wrong signature in url file " + ucf + "/broken.ucf\n"));

    icap_reply r;
    ASSERT_TRUE(reqmod("www.porno.example", "/x", r, "X-Client-IP: 10.0.0.7\r\n"));
    EXPECT_TRUE(blocked(r)) << r.raw;
    EXPECT_TRUE(icapd.wait_log(
        "url:[www.porno.example/x], match_with:[porno.example], client_ip:[10.0.0.7], ucf:[porno]\n"));
    // The white file and WhiteUcfFiles exempt their hosts.
    ASSERT_TRUE(reqmod("safe.porno.example", "/", r));
    EXPECT_FALSE(blocked(r));
    ASSERT_TRUE(reqmod("exempt.example", "/", r));
    EXPECT_FALSE(blocked(r));
    // BlockChats is off, except for the one user a match section names.
    ASSERT_TRUE(reqmod("chat.example", "/", r, "X-Client-Username: guest\r\n"));
    EXPECT_FALSE(blocked(r));
    ASSERT_TRUE(reqmod("chat.example", "/", r, "X-Client-Username: teen\r\n"));
    EXPECT_TRUE(blocked(r));
    EXPECT_TRUE(icapd.wait_log("url:[chat.example/], match_with:[chat.example], ucf:[chats]\n"));

    // A delivered update replaces its file at the next reload.
    ucf_compile(ucf + "/porno.ucf.cache", "porno", "newporno.example\n");
    ASSERT_EQ(kill(icapd.pid(), SIGHUP), 0);
    EXPECT_TRUE(eventually([&] {
        icap_reply a;
        return reqmod("newporno.example", "/", a) && blocked(a);
    }));
    ASSERT_TRUE(reqmod("www.porno.example", "/x", r));
    EXPECT_FALSE(blocked(r));
    EXPECT_FALSE(file_exists(ucf + "/porno.ucf.cache"));
}
