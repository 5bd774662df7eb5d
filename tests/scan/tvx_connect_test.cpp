// Connections to the scanning daemon through real sockets: both address
// types, list order, non-blocking mode, the Unix path limit and the
// LocalScan fall-back with its restore.
#include <fcntl.h>

#include "scan_fixture.h"

using namespace scan_test;

namespace {

class connect_test : public scan_fixture {};

TEST_F(connect_test, ReachesBothAddressTypesNonBlocking)
{
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start());
    for (const DaemonAddress &a : {local_addr(d.socket_path()), inet_addr(d.port())}) {
        int fd = tvx_connect({a}, false, true);
        ASSERT_GE(fd, 0) << a.host;
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        close_fd(fd);
        EXPECT_EQ(fd, -1);
    }
    EXPECT_TRUE(logged("TRY connect to host=127.0.0.1 serv=" + std::to_string(d.port()) + " type=inet\n"));
    EXPECT_TRUE(logged("TRY connect to host=" + d.socket_path() + " serv= type=local\n"));
    EXPECT_TRUE(logged("fcntl: successfully set O_NONBLOCK for fd "));
    EXPECT_TRUE(logged("Connection ok\n"));
    EXPECT_TRUE(logged("Closing fd "));

    int fd = tvx_connect({inet_addr(d.port())}, false, false);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    close_fd(fd);
    close_fd(fd);  // closing twice is harmless
}

TEST_F(connect_test, FailuresAreLoggedAndTheListIsWalkedInOrder)
{
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start());
    int dead_port = tvx_test::free_tcp_port();
    std::string missing = dir / "missing.sock";
    std::vector<DaemonAddress> list = {local_addr(missing), inet_addr(dead_port),
                                       inet_addr(1, "no-such-host.invalid"), inet_addr(d.port())};
    int fd = tvx_connect(list, false, true);
    EXPECT_GE(fd, 0);
    close_fd(fd);
    EXPECT_TRUE(logged("error in open connection with " + missing + ": No such file or directory\n"));
    EXPECT_TRUE(logged("connect error for 127.0.0.1, " + std::to_string(dead_port) + ": Connection refused\n"));
    EXPECT_TRUE(logged("connect error for no-such-host.invalid, 1: "));

    EXPECT_EQ(tvx_connect({}, false, true), -1);
    EXPECT_EQ(tvx_connect({local_addr(missing)}, false, true), -1);
}

TEST_F(connect_test, UnixPathIsCutAt103Bytes)
{
    // A socket whose path is exactly 103 bytes long, named by an address
    // that continues past it.
    std::string path = dir.path() + "/";
    path += std::string(103 - path.size(), 's');
    ASSERT_EQ(path.size(), 103u);
    scripted_daemon peer(path);
    ASSERT_TRUE(peer.ok());
    peer.serve(0, "");
    int fd = tvx_connect1(local_addr(path + "-beyond-the-limit"));
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
}

TEST_F(connect_test, LocalScanFallsBackAndIsRestoredForTheNextScanConnection)
{
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start());
    std::vector<DaemonAddress> list = {local_addr(dir / "down.sock"), local_addr(d.socket_path())};
    g_config.LocalScan = true;

    int fd = tvx_connect(list, true, true);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(g_tvx.local_scan, 0);
    EXPECT_TRUE(g_config.LocalScan);  // the configuration is never written
    close_fd(fd);

    // Informational connections leave the mode alone.
    fd = tvx_connect(list, false, true);
    EXPECT_EQ(g_tvx.local_scan, 0);
    close_fd(fd);

    // The next scan connection starts from the configured mode again and
    // reaches the first address: path-only scanning comes back.
    fd = tvx_connect({local_addr(d.socket_path())}, true, true);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(g_tvx.local_scan, 1);
    close_fd(fd);
    EXPECT_EQ(count_logged("turn off local scan mode - was error to connect on first object\n"), 1u);

    // With every address down the mode is off for this connection, logged once.
    EXPECT_EQ(tvx_connect({local_addr(dir / "a.sock"), local_addr(dir / "b.sock")}, true, true), -1);
    EXPECT_EQ(g_tvx.local_scan, 0);
    EXPECT_TRUE(g_config.LocalScan);
    EXPECT_EQ(count_logged("turn off local scan mode"), 2u);
}

}  // namespace
