// Test fixture for the request flow: the server end of a socket pair runs
// the head parser and icap_handle as a connection process does, the client
// end is an icap_conn driven from a thread. Temp files go to a fresh Cache
// directory, pages come from a small template directory with known output.
#ifndef TVX_TESTS_ICAP_FLOW_FIXTURE_H
#define TVX_TESTS_ICAP_FLOW_FIXTURE_H

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "config/icapd_config.h"
#include "icap/handle.h"
#include "icap/reply.h"
#include "icap/request_head.h"
#include "io/io.h"
#include "request/entity.h"
#include "request/request.h"
#include "scan/scan_state.h"
#include "support/support.h"
#include "support/tavexd_process.h"
#include "icap/flow_messages.h"

namespace flow_test {

using tvx_test::icap_conn;
using tvx_test::icap_reply;

class Flow : public ::testing::Test {
protected:
    tvx_test::temp_dir dir;
    std::string cache;
    int fd = -1;  // the server end
    icap_conn client;

    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        fd = sv[0];
        client.adopt(sv[1]);
        readline_reset();
        icap_request_reset(g_request);
        g_config = icapd_config();
        cache = dir.path() + "/cache/";
        mkdir(cache.c_str(), 0700);
        mkdir((dir / "templates").c_str(), 0700);
        tvx_test::write_file(dir / "templates/ERR_DOWNLOAD_BLOCK", block_template);
        tvx_test::write_file(dir / "templates/ERR_FAILED_CHECK", "<p>not checked: $URL$</p>\n");
        g_config.Cache = cache;
        g_config.Templates = dir / "templates";
        g_config.Timeout = 20;
        io_set_timeout(20);
        g_tvx.virus_total = 0;
    }
    void TearDown() override
    {
        alarm(0);
        tavexd.stop();
        if (fd >= 0)
            close(fd);
        readline_reset();
        icap_request_reset(g_request);
        g_config = icapd_config();
        io_set_timeout(60);
    }

    // Serves one request as a connection process does: head, icap_handle,
    // the error reply for any other code, release of the entity list.
    int serve()
    {
        int rc = icap_read_request_head(fd);
        if (rc == 1)
            rc = icap_handle(fd);
        if (rc != 200)
            send_error_msg(fd, rc);
        icap_entities_release(g_request);
        alarm(0);
        return rc;
    }

    // Serves one request while the client script runs in a thread.
    int exchange(const std::function<void()> &script)
    {
        std::thread t(script);
        int rc = serve();
        t.join();
        return rc;
    }

    // Sends a whole request, reads one reply; *rc receives what the
    // request flow returned.
    icap_reply roundtrip(const std::string &request, int *rc = nullptr)
    {
        icap_reply r;
        bool ok = false;
        int code = exchange([&] { ok = client.send(request) && client.read_reply(r); });
        EXPECT_TRUE(ok) << "no whole reply; got: " << r.raw;
        if (rc)
            *rc = code;
        return r;
    }

    bool cache_empty() { return tvx_test::list_dir(cache).empty(); }

    // A scanning daemon (the tavexd stand-in) configured as TavexAddress:
    // the scan then decides on bodies.
    void with_daemon()
    {
        ASSERT_TRUE(tavexd.start()) << tavexd.stderr_text();
        g_config.tavex_addresses.push_back({DAEMON_ADDR_LOCAL, "", tavexd.socket_path()});
        g_config.TavexAddress.push_back(tavexd.local_address());
    }
    tvx_test::tavexd_process tavexd;
};

}  // namespace flow_test

#endif
