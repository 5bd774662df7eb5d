// tavex-icapd with tavexd behind it, both real programs, driven by an ICAP
// client: the virus-record total in the ISTAG, and what scanned messages
// become on the way back.
#include <gtest/gtest.h>

#include <string>

#include "support/support.h"
#include "support/tavexd_process.h"

namespace {

using tvx_test::daemon_process;
using tvx_test::icap_conn;
using tvx_test::icap_reply;
using tvx_test::tavexd_process;

const char options_request[] = "OPTIONS icap://127.0.0.1/avscan ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

bool options(int port, icap_reply &reply)
{
    icap_conn c;
    return c.connect(port) && c.send(options_request) && c.read_reply(reply);
}

TEST(scan_e2e, IstagShowsTheDaemonsBaseTotal)
{
    tavexd_process scanner;
    ASSERT_TRUE(scanner.start({"--bases", "main.avc=100000,daily.avc=23456"}));
    daemon_process icapd;
    ASSERT_TRUE(icapd.start("LogLevel = 35\nTavexAddress = " + scanner.local_address() + "\n"));
    // Start-up asked for the count and closed its connection again.
    EXPECT_TRUE(icapd.wait_log("tvx_get_virus_num: loaded virus base daily.avc with 23456 viruses\n"));
    EXPECT_TRUE(icapd.wait_log("Closing fd "));

    icap_reply reply;
    ASSERT_TRUE(options(icapd.port(), reply));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.fields["istag"], "\"tavex-icapd6.0=123456\"");

    // The count follows the daemon: a new one with other bases is asked on
    // the next OPTIONS request.
    scanner.stop();
    tavexd_process other;
    ASSERT_TRUE(other.start({"--bases", "only.avc=42"}));
    icapd.rewrite_config("LogLevel = 35\nTavexAddress = " + other.pid_address() + "\n");
    ASSERT_EQ(kill(icapd.pid(), SIGHUP), 0);
    ASSERT_TRUE(icapd.wait_log("tvx_get_virus_num: loaded virus base only.avc with 42 viruses\n"));
    ASSERT_TRUE(options(icapd.port(), reply));
    EXPECT_EQ(reply.fields["istag"], "\"tavex-icapd6.0=42\"");
    EXPECT_EQ(icapd.stop(), 0);
}

TEST(scan_e2e, IstagWithoutAScanningDaemon)
{
    daemon_process icapd;
    ASSERT_TRUE(icapd.start());
    EXPECT_TRUE(icapd.wait_log("Virus check disabled\n"));
    icap_reply reply;
    ASSERT_TRUE(options(icapd.port(), reply));
    EXPECT_EQ(reply.fields["istag"], "\"tavex-icapd6.0=0\"");
    EXPECT_EQ(icapd.stop(), 0);
}

}  // namespace
