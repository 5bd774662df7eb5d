// Start-up failures of the listening socket through the real binary: each
// ends the process with its own status and one log line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "support/support.h"

using namespace tvx_test;

namespace {

// Starts the daemon in the foreground on base_config + extra; it is
// expected to give up before it gets ready.
run_result start_failing(const temp_dir &dir, int port, const std::string &extra)
{
    write_file(dir / "c.ini", base_config(dir.path(), port) + extra);
    return run_program({TVX_DAEMON_PATH, "-m", "-f", dir / "c.ini"}, "", 30);
}

}  // namespace

TEST(startup, port_in_use_exits_3)
{
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = free_tcp_port();
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(holder, 1), 0);

    temp_dir dir;
    run_result r = start_failing(dir, port, "");
    close(holder);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");  // never got ready
    EXPECT_NE(read_file(dir / "icapd.log")
                  .find("ERROR tcp_listen error for 127.0.0.1, " + std::to_string(port) + ": Address already in use\n"),
              std::string::npos);
    EXPECT_FALSE(file_exists(dir / "icapd.pid"));
}

TEST(startup, unknown_service_exits_2)
{
    temp_dir dir;
    run_result r = start_failing(dir, free_tcp_port(), "BindPort = no-such-icap-service\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(read_file(dir / "icapd.log").find("ERROR getaddrinfo error for 127.0.0.1, no-such-icap-service: "),
              std::string::npos)
        << read_file(dir / "icapd.log");
}

TEST(startup, configuration_error_exits_1_with_the_log_line)
{
    temp_dir dir;
    run_result r = start_failing(dir, free_tcp_port(), "KeepAlive = perhaps\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(read_file(dir / "icapd.log")
                  .find("ERROR Error in tvxid_init(): Error while parsing config file: parser error at line 11: "),
              std::string::npos)
        << read_file(dir / "icapd.log");
}
