// The virus-base count and information commands against tavexd and a
// scripted daemon: totals, empty listings, hostile lengths, broken replies
// and reconnection after a failure.
#include "scan/tvx_commands.h"

#include "scan_fixture.h"

using namespace scan_test;

namespace {

class commands_test : public scan_fixture {};

TEST_F(commands_test, BaseCountSumsTheBasesAndKeepsTheConnection)
{
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start({"--bases", "main.avc=100000,daily.avc=20000,extra.avc=7", "--info", "tavexd 1.2"}));
    g_config.tavex_addresses = {local_addr(d.socket_path())};
    int fd = -1;
    EXPECT_EQ(tvx_get_virus_num(fd), 200);
    EXPECT_EQ(g_tvx.virus_total, 120007u);
    EXPECT_TRUE(logged("tvx_get_virus_num: loaded virus base daily.avc with 20000 viruses\n"));
    ASSERT_GE(fd, 0);
    int kept = fd;
    EXPECT_EQ(tvx_get_info(fd), 200);
    EXPECT_EQ(fd, kept);
    EXPECT_EQ(g_tvx.release, "tavexd 1.2");
    EXPECT_TRUE(logged("tvx_get_info:\ntavexd 1.2\n"));
    close_fd(fd);
}

TEST_F(commands_test, EmptyListingGivesZero)
{
    scripted_daemon peer(dir / "d.sock");
    ASSERT_TRUE(peer.ok());
    peer.serve(4, be32(0));
    g_config.tavex_addresses = {peer.address()};
    g_tvx.virus_total = 55;
    int fd = -1;
    EXPECT_EQ(tvx_get_virus_num(fd), 200);
    EXPECT_EQ(g_tvx.virus_total, 0u);
    EXPECT_EQ(peer.received(), be32(3));
    close_fd(fd);
}

TEST_F(commands_test, NamesEndAtTheirFirstZeroByte)
{
    scripted_daemon peer(dir / "d.sock");
    ASSERT_TRUE(peer.ok());
    peer.serve(4, be32(2) + text32(std::string("a.avc\0junk", 10)) + be32(3) + text32("") + be32(4));
    g_config.tavex_addresses = {peer.address()};
    int fd = -1;
    EXPECT_EQ(tvx_get_virus_num(fd), 200);
    EXPECT_EQ(g_tvx.virus_total, 7u);
    EXPECT_TRUE(logged("tvx_get_virus_num: loaded virus base a.avc with 3 viruses\n"));
    EXPECT_TRUE(logged("tvx_get_virus_num: loaded virus base  with 4 viruses\n"));
    close_fd(fd);
}

// Each broken reply fails the command, leaves the count of the records
// read before it, and closes the connection so the next command starts on
// a fresh one.
struct broken_case {
    const char *what;
    std::string reply;
    const char *message;
    unsigned long total;
};

TEST_F(commands_test, BrokenAndHostileBaseListings)
{
    const broken_case cases[] = {
        {"no count", "", "communication error with daemon!\n", 0},
        {"count beyond the limit", be32(0xFFFFFFFF) + text32("x"),
         "tvx_get_virus_num: daemon announced 4294967295 virus bases (limit 4096)\n", 0},
        {"name beyond the limit", be32(2) + be32(0xFFFFFFF0) + "abc",
         "tvx_get_virus_num: daemon announced a base name of 4294967280 bytes (limit 4096)\n", 0},
        {"record missing", be32(2) + text32("a") + be32(5), "communication error with daemon (1) !\n", 5},
        {"count cut", be32(2) + text32("a") + be32(5) + text32("b") + std::string("\0\0", 2), "communication error with daemon!\n",
         5},
    };
    for (const broken_case &c : cases) {
        SCOPED_TRACE(c.what);
        scripted_daemon peer(dir / "d.sock");
        ASSERT_TRUE(peer.ok());
        peer.serve(4, c.reply);
        g_config.tavex_addresses = {peer.address()};
        int fd = -1;
        EXPECT_EQ(tvx_get_virus_num(fd), 0);
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(g_tvx.virus_total, c.total);
        EXPECT_TRUE(logged(c.message));
    }
}

TEST_F(commands_test, GarbageFromTavexdIsBoundedAndTheNextCommandReconnects)
{
    tvx_test::tavexd_process bad;
    ASSERT_TRUE(bad.start({"--fault", "garbage"}));
    g_config.tavex_addresses = {local_addr(bad.socket_path())};
    int fd = -1;
    EXPECT_EQ(tvx_get_virus_num(fd), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(tvx_get_info(fd), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(logged("tvx_get_info: daemon announced 4294967280 bytes of information (limit 65536)\n"));
    EXPECT_TRUE(g_tvx.release.empty());

    tvx_test::tavexd_process good;
    ASSERT_TRUE(good.start({"--info", "fine"}));
    g_config.tavex_addresses = {local_addr(good.socket_path())};
    EXPECT_EQ(tvx_get_info(fd), 200);
    EXPECT_EQ(g_tvx.release, "fine");
    EXPECT_EQ(tvx_get_virus_num(fd), 200);
    EXPECT_EQ(g_tvx.virus_total, 120000u);
    close_fd(fd);
}

TEST_F(commands_test, BrokenInformationReplies)
{
    const broken_case cases[] = {
        {"no length", "", "communication error with daemon !\n", 0},
        {"text cut", be32(10) + "abc", "Closing fd ", 0},
    };
    for (const broken_case &c : cases) {
        SCOPED_TRACE(c.what);
        scripted_daemon peer(dir / "d.sock");
        ASSERT_TRUE(peer.ok());
        peer.serve(4, c.reply);
        g_config.tavex_addresses = {peer.address()};
        int fd = -1;
        EXPECT_EQ(tvx_get_info(fd), 0);
        EXPECT_EQ(fd, -1);
        EXPECT_TRUE(logged(c.message));
        EXPECT_EQ(peer.received(), be32(4));
    }
    scripted_daemon peer(dir / "d.sock");
    ASSERT_TRUE(peer.ok());
    peer.serve(4, text32(std::string("rel 9\0tail", 10)));
    g_config.tavex_addresses = {peer.address()};
    int fd = -1;
    EXPECT_EQ(tvx_get_info(fd), 200);
    EXPECT_EQ(g_tvx.release, "rel 9");
    close_fd(fd);
}

TEST_F(commands_test, NoDaemonReachable)
{
    g_config.tavex_addresses = {local_addr(dir / "none.sock")};
    int fd = -1;
    EXPECT_EQ(tvx_get_virus_num(fd), 0);
    EXPECT_TRUE(logged("can not open connection with daemon!\n"));
    EXPECT_EQ(tvx_get_info(fd), 0);
    g_config.tavex_addresses.clear();
    EXPECT_EQ(tvx_get_info(fd), 0);
}

TEST_F(commands_test, StalledDaemonTimesOut)
{
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start({"--fault", "stall", "--fault-on", "3"}));
    g_config.tavex_addresses = {local_addr(d.socket_path())};
    io_set_timeout(1);
    int fd = -1;
    EXPECT_EQ(tvx_get_virus_num(fd), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(logged("read: timeout error (after 1 seconds)\n"));
    // Information still works on a new connection.
    EXPECT_EQ(tvx_get_info(fd), 200);
    close_fd(fd);
}

}  // namespace
