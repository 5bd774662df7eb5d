// The scan exchange: the request bytes of both modes, the reply fields
// (threat names with their type suffixes, report lines, cured bodies),
// hostile and broken replies, the LocalScan fall-back, and reconnection
// after a cured body has ended the daemon's stream.
#include "scan/tvx_scan.h"

#include "scan/tvx_verdict.h"
#include "scan_fixture.h"
#include "tavexd/tvd_eicar.h"

using namespace scan_test;

namespace {

class scan_test_base : public scan_fixture {
protected:
    void SetUp() override
    {
        scan_fixture::SetUp();
        // Actions that need no page, so that each row shows in the file.
        g_config.Incurable = ACTION_TRUNCATE;
        g_config.DaemonError = ACTION_TRUNCATE;
    }
};

TEST(virus_type, SuffixTable)
{
    struct {
        const char *sent;
        const char *kept;
        int type;
    } cases[] = {
        {"Eicar,K", "Eicar", 1},   {"Mod.X,M", "Mod.X", 2},   {"Susp,S", "Susp", 3},   {"Ad,A", "Ad", 12},
        {"Dial,D", "Dial", 13},    {"Joke,J", "Joke", 14},    {"Risk,R", "Risk", 15},  {"Hack,H", "Hack", 16},
        {"a,K", "a", 1},           {",K", ",K", 0},           {"Other,Q", "Other,Q", 0}, {"lower,k", "lower,k", 0},
        {"NoSuffix", "NoSuffix", 0}, {"ab", "ab", 0},         {"x,KK", "x,KK", 0},     {"", "", 0},
    };
    for (const auto &c : cases) {
        std::string name = c.sent;
        EXPECT_EQ(tvx_virus_type(name), c.type) << c.sent;
        EXPECT_EQ(name, c.kept) << c.sent;
    }
}

class scan_exchange : public scan_test_base {};

TEST_F(scan_exchange, PathOnlyRequestAndReplyByteForByte)
{
    icap_entity &e = add_body("some body bytes");
    scripted_daemon peer(dir / "d.sock");
    ASSERT_TRUE(peer.ok());
    std::string line1 = e.path + "\tinfected with Bad.Virus";
    std::string reply = be32(0x20) + be32(3) + text32("Bad.Virus,K") + text32("Other,Q") + text32("ab") + be32(2) +
                        text32(line1) + text32(std::string("second\0hidden", 13));
    peer.serve(16 + e.path.size() + 4, reply, true);
    g_config.tavex_addresses = {peer.address()};
    g_config.LocalScan = true;
    strcpy(g_request.client_ip, "10.1.2.3");

    EXPECT_EQ(scan(e), 3);
    EXPECT_GE(g_tvx.daemon_fd, 0) << "a complete exchange keeps the connection";
    close_fd(g_tvx.daemon_fd);
    EXPECT_EQ(peer.received(), be32(1) + be32(OPTIONS_DEFAULT) + be32(0) + be32(static_cast<uint32_t>(e.path.size())) +
                                   e.path + be32(0));

    EXPECT_EQ(g_tvx.last_response_code, 0x20u);
    ASSERT_EQ(g_request.viruses_list.size(), 3u);
    EXPECT_EQ(g_request.viruses_list[0].name, "Bad.Virus");
    EXPECT_EQ(g_request.viruses_list[0].type, 1);
    EXPECT_EQ(g_request.viruses_list[1].name, "Other,Q");
    EXPECT_EQ(g_request.viruses_list[1].type, 0);
    EXPECT_EQ(g_request.viruses_list[2].name, "ab");
    EXPECT_EQ(g_request.greport, (std::vector<std::string>{line1, "second"}));
    EXPECT_TRUE(logged("wrong virus type at Other,Q\n"));
    EXPECT_TRUE(logged("cannot determine virus type at ab\n"));
    EXPECT_TRUE(logged("tvx_scan_file: url to be scanned (send only path) - http://example.test/dir/file.bin\n"));
    EXPECT_TRUE(logged("tvx_scan_file: response code - 0x20\n"));
    EXPECT_TRUE(logged("tvx_scan_file: log >>> second\n"));
    EXPECT_TRUE(logged("url:[http://example.test/dir/file.bin], client_ip:[10.1.2.3], code=0x20, size=1k, "
                       "viruses:[Bad.Virus, \n\tOther,Q, \n\tab]\n"));
    // The Incurable action (truncate here) emptied the body.
    EXPECT_EQ(tvx_test::read_file(e.path), "");
    EXPECT_EQ(e.size, 0u);
    EXPECT_STREQ(g_request.action_name, "Truncate");
    EXPECT_TRUE(logged("File is infected and cannot be cured!: truncate\n"));
}

TEST_F(scan_exchange, WholeFileRequestInBlocksAndCuredBodyToEndOfStream)
{
    std::string body;
    for (int i = 0; body.size() < 3 * 1000 + 17; ++i)
        body += static_cast<char>(i * 7 + 3);
    body.resize(3 * 1000 + 17);
    icap_entity &e = add_body(body);
    g_config.MaxBlocksize = 1000;
    g_config.LocalScan = false;
    g_config.scan_options = 0x80400002;  // heuristic and cure off
    g_config.Infected = ACTION_PASS;
    std::string cured(2500, 'c');
    cured[0] = '\0';
    scripted_daemon peer(dir / "d.sock");
    ASSERT_TRUE(peer.ok());
    // The announced cured size is not what follows: the body is what
    // arrives before the daemon closes.
    peer.serve(20 + body.size(),
               be32(0x120) + be32(1) + text32("Cured.One,K") + be32(1) + text32("/stream\tcured!") + be32(99) + cured);
    g_config.tavex_addresses = {peer.address()};

    EXPECT_EQ(scan(e), 3);
    EXPECT_EQ(peer.received(), be32(1) + be32(0x80400002) + be32(0) + be32(0) + be32(3017) + body);
    EXPECT_EQ(g_tvx.daemon_fd, -1) << "the stream ended with the cured body";
    EXPECT_EQ(tvx_test::read_file(e.path), cured);
    EXPECT_EQ(e.size, 2500u);
    EXPECT_STREQ(g_request.action_name, "Cure");
    EXPECT_EQ(g_request.infection_type, 0);
    EXPECT_EQ(g_request.infection_resolution, 1);
    EXPECT_TRUE(logged("tvx_scan_file: url to be scanned (send all file) - http://example.test/dir/file.bin (size 3017)\n"));
    EXPECT_TRUE(logged("tvx_scan_file: get modify file from daemon socket (size=99)\n"));
    EXPECT_TRUE(logged("File is cured from known virus!: pass\n"));
    EXPECT_TRUE(logged("url:[http://example.test/dir/file.bin], code=0x120, size=3k, viruses:[Cured.One]\n"));
    // The entity is ready to be sent from its start.
    char first[4] = {1, 1, 1, 1};
    ASSERT_GE(e.fd, 0);
    EXPECT_EQ(read(e.fd, first, sizeof first), 4);
    EXPECT_EQ(std::string(first, 4), cured.substr(0, 4));
}

TEST_F(scan_exchange, PathOnlyCureReadsNoBodyAndKeepsTheConnection)
{
    icap_entity &e = add_body("x");
    scripted_daemon peer(dir / "d.sock");
    ASSERT_TRUE(peer.ok());
    peer.serve(16 + e.path.size() + 4, be32(0x120) + be32(1) + text32("V,K") + be32(0) + "unread", true);
    g_config.tavex_addresses = {peer.address()};
    EXPECT_EQ(scan(e), 3);
    EXPECT_GE(g_tvx.daemon_fd, 0);
    EXPECT_TRUE(g_request.greport.empty());
    EXPECT_EQ(tvx_test::read_file(e.path), "x");
    EXPECT_STREQ(g_request.action_name, "Cure");
    close_fd(g_tvx.daemon_fd);
}

TEST_F(scan_exchange, EmptyBodyIsNotSent)
{
    icap_entity &e = add_body("");
    g_config.tavex_addresses = {local_addr(dir / "nobody.sock")};
    EXPECT_EQ(scan(e), 200);
    EXPECT_TRUE(logged("tvx_scan_file:file is empty, skip\n"));
    EXPECT_FALSE(logged("TRY connect"));
}

TEST_F(scan_exchange, SizeInLogLinesIsKibPlusOne)
{
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start({"--code", "0x20"}));
    g_config.tavex_addresses = {local_addr(d.socket_path())};
    g_config.Incurable = ACTION_TRUNCATE;
    icap_entity &one = add_body("1", "one");
    EXPECT_EQ(scan(one), 3);
    EXPECT_EQ(count_logged("code=0x20, size=1k, viruses:[Tavex.Test.Known]\n"), 1u);
    g_request.viruses_list.clear();
    icap_entity &kib = add_body(std::string(1024, 'k'), "kib");
    EXPECT_EQ(scan(kib), 3);
    EXPECT_EQ(count_logged("code=0x20, size=2k, viruses:[Tavex.Test.Known]\n"), 1u);
}

// Every broken or hostile exchange ends in the DaemonError action (empty
// body here) and closes the connection, so the next scan reconnects.
TEST_F(scan_exchange, BrokenRepliesGiveTheDaemonErrorHandling)
{
    struct {
        const char *what;
        std::vector<std::string> args;
        bool local_scan;
        const char *message;
    } cases[] = {
        {"garbage", {"--fault", "garbage"}, true,
         "tvx_scan_file: error while reading viruses list: too many virus names announced\n"},
        {"garbage, whole file", {"--fault", "garbage"}, false,
         "tvx_scan_file: error while reading viruses list: too many virus names announced\n"},
        {"close mid-reply", {"--fault", "close-mid-reply", "--code", "0x20"}, true, "Closing fd "},
        {"close mid-reply, cured", {"--fault", "close-mid-reply", "--code", "0x120", "--fault-bytes", "60"}, false,
         "Closing fd "},
        {"stall", {"--fault", "stall"}, true, "read: timeout error (after 1 seconds)\n"},
        {"refused", {"--fault", "refuse"}, false, "Closing fd "},
    };
    io_set_timeout(1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        tvx_test::tavexd_process d;
        ASSERT_TRUE(d.start(c.args));
        g_config.tavex_addresses = {local_addr(d.socket_path())};
        g_config.LocalScan = c.local_scan;
        g_tvx.local_scan = -1;
        icap_request_reset(g_request);
        icap_entity &e = add_body(tvd_eicar());
        EXPECT_EQ(scan(e), 3);
        EXPECT_EQ(g_tvx.daemon_fd, -1);
        EXPECT_EQ(e.size, 0u);
        EXPECT_EQ(tvx_test::read_file(e.path), "");
        EXPECT_STREQ(g_request.action_name, "Truncate");
        EXPECT_EQ(g_request.infection_type, 2);
        EXPECT_EQ(g_request.infection_resolution, 2);
        EXPECT_TRUE(logged("Daemon error has occured during check of this file!: truncate\n"));
        EXPECT_TRUE(logged(c.message));
    }
}

TEST_F(scan_exchange, HostileLengthsAreRefusedBeforeAllocation)
{
    struct {
        const char *what;
        std::string reply;
        const char *message;
    } cases[] = {
        {"name length", be32(0x20) + be32(1) + be32(0xFFFFFFF0) + "abc",
         "tvx_scan_file: error while reading viruses list: virus name too long\n"},
        {"name cut", be32(0x20) + be32(1) + be32(10) + "abc",
         "tvx_scan_file: error while reading viruses list: error reading virus name in safe_read()\n"},
        {"name size cut", be32(0x20) + be32(2) + text32("a,K") + "\0",
         "tvx_scan_file: error while reading viruses list: error reading size in safe_read()\n"},
        {"line count", be32(0x100000) + be32(0) + be32(0xFFFFFFFF),
         "tvx_scan_file: daemon announced 4294967295 report lines (limit 100000)\n"},
        {"line length", be32(0x100000) + be32(0) + be32(1) + be32(0x7FFFFFFF),
         "tvx_scan_file: daemon announced a report line of 2147483647 bytes (limit 16384)\n"},
        {"no code", "", "Closing fd "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        icap_request_reset(g_request);
        icap_entity &e = add_body("abc");
        scripted_daemon peer(dir / "d.sock");
        ASSERT_TRUE(peer.ok());
        peer.serve(16 + e.path.size() + 4, c.reply);
        g_config.tavex_addresses = {peer.address()};
        EXPECT_EQ(scan(e), 3);
        EXPECT_EQ(g_tvx.daemon_fd, -1);
        EXPECT_STREQ(g_request.action_name, "Truncate");
        EXPECT_TRUE(logged(c.message));
    }
}

TEST_F(scan_exchange, CuredBodyEndsTheConnectionAndTheNextScanReconnects)
{
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start());
    g_config.tavex_addresses = {local_addr(d.socket_path())};
    g_config.LocalScan = false;
    icap_entity &e = add_body("before " + tvd_eicar() + " after", "infected");
    EXPECT_EQ(scan(e), 3);
    EXPECT_EQ(tvx_test::read_file(e.path), "before  after");
    EXPECT_EQ(e.size, 13u);
    EXPECT_STREQ(g_request.action_name, "Cure");
    EXPECT_EQ(g_request.infection_resolution, 1);
    ASSERT_EQ(g_request.viruses_list.size(), 1u);
    EXPECT_EQ(g_request.viruses_list[0].name, "EICAR-Test-File");
    EXPECT_EQ(g_tvx.daemon_fd, -1);

    // Same ICAP connection, next request: a new daemon connection.
    icap_request_reset(g_request);
    strcpy(g_request.url, "http://example.test/clean");
    icap_entity &clean = add_body("nothing to see", "clean");
    EXPECT_EQ(scan(clean), 200);
    EXPECT_TRUE(logged("url:[http://example.test/clean]; size=1k - ok\n"));
    EXPECT_EQ(g_request.greport, std::vector<std::string>{"/stream\tOk"});
    EXPECT_GE(g_tvx.daemon_fd, 0);
    EXPECT_FALSE(logged("Daemon error"));
}

TEST_F(scan_exchange, PathOnlyCureRewritesTheFileInPlace)
{
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start());
    g_config.tavex_addresses = {local_addr(d.socket_path())};
    g_config.LocalScan = true;
    icap_entity &e = add_body("x" + tvd_eicar() + "y");
    EXPECT_EQ(scan(e), 3);
    EXPECT_EQ(tvx_test::read_file(e.path), "xy");
    EXPECT_EQ(e.size, 2u);
    EXPECT_GE(g_tvx.daemon_fd, 0);
    EXPECT_EQ(g_request.greport.size(), 2u);
    EXPECT_EQ(g_request.greport.at(0), e.path + "\tinfected with EICAR-Test-File");
}

TEST_F(scan_exchange, UnreachableFirstAddressSendsWholeFilesToTheSecond)
{
    tvx_test::tavexd_process first, second;
    ASSERT_TRUE(second.start({"--code", "0x20"}));
    g_config.tavex_addresses = {local_addr(first.socket_path()), local_addr(second.socket_path())};
    g_config.LocalScan = true;

    icap_entity &e = add_body("abc", "one");
    EXPECT_EQ(scan(e), 3);
    EXPECT_EQ(g_request.greport.at(0), "/stream\tinfected with Tavex.Test.Known");
    EXPECT_TRUE(logged("tvx_scan_file: url to be scanned (send all file)"));
    EXPECT_EQ(count_logged("turn off local scan mode - was error to connect on first object\n"), 1u);

    // The connection to the second address is kept: further scans go on
    // in whole-file mode without another turn-off line.
    icap_request_reset(g_request);
    icap_entity &e2 = add_body("def", "two");
    EXPECT_EQ(scan(e2), 3);
    EXPECT_EQ(g_request.greport.at(0), "/stream\tinfected with Tavex.Test.Known");
    EXPECT_EQ(count_logged("turn off local scan mode"), 1u);

    // Once the first address answers again, a new scan connection reaches
    // it and sends the path only.
    ASSERT_TRUE(first.start({"--code", "0x20"}));
    close_fd(g_tvx.daemon_fd);
    icap_request_reset(g_request);
    icap_entity &e3 = add_body("ghi", "three");
    EXPECT_EQ(scan(e3), 3);
    EXPECT_EQ(g_request.greport.at(0), e3.path + "\tinfected with Tavex.Test.Known");
    EXPECT_TRUE(g_config.LocalScan);
}

TEST_F(scan_exchange, NoDaemonGivesTheDaemonErrorAction)
{
    g_config.tavex_addresses = {local_addr(dir / "down.sock")};
    icap_entity &e = add_body("abc");
    EXPECT_EQ(scan(e), 3);
    EXPECT_STREQ(g_request.action_name, "Truncate");
    EXPECT_EQ(g_request.infection_type, 2);
    EXPECT_TRUE(logged("Daemon error has occured during check of this file!: truncate\n"));
}

}  // namespace
