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
#include "request/request.h"
#include "scan/scan_state.h"
#include "support/support.h"

namespace flow_test {

using tvx_test::icap_conn;
using tvx_test::icap_reply;

const std::string istag = "\r\nISTAG: \"tavex-icapd6.0=0\"\r\n\r\n";
const std::string reply_204 = "ICAP/1.0 204 No Content" + istag;
const std::string reply_400 = "ICAP/1.0 400 Bad Request\r\nEncapsulated: null-body=0" + istag;
const std::string continue_100 = "ICAP/1.0 100 Continue" + istag;

// The block page template of the tests and its output for a URL.
const std::string block_template = "<p>blocked: $URL$</p>\n";
inline std::string block_page(const std::string &url) { return "<p>blocked: " + url + "</p>\n"; }

// "HTTP/1.1 200 OK" header of a report page of the given size.
inline std::string report_header(size_t size, bool keepalive = true)
{
    return "HTTP/1.1 200 OK\r\nVia: Tavex (R) icapd\r\nCache-Control: no-cache\r\nContent-Type: text/html\r\n"
           "Content-Length: " +
           std::to_string(size) + "\r\n" + (keepalive ? "" : "Connection: close\r\n") + "\r\n";
}

// A body re-chunked as the daemon sends it (one chunk up to 10 MiB).
inline std::string rechunked(const std::string &body)
{
    if (body.empty())
        return "0\r\n\r\n";
    char line[32];
    snprintf(line, sizeof line, "%zx\r\n", body.size());
    return line + body + "\r\n0\r\n\r\n";
}

// An ICAP request with Encapsulated computed from its parts. body is the
// chunked body text; nullptr gives a null-body.
inline std::string icap_msg(const std::string &method, const std::string &fields, const std::string &req_hdr,
                            const std::string &res_hdr, const std::string *body)
{
    std::string enc;
    size_t off = 0;
    auto add = [&](const char *name, size_t at) {
        if (!enc.empty())
            enc += ", ";
        enc += std::string(name) + "=" + std::to_string(at);
    };
    if (!req_hdr.empty()) {
        add("req-hdr", off);
        off += req_hdr.size();
    }
    if (!res_hdr.empty()) {
        add("res-hdr", off);
        off += res_hdr.size();
    }
    add(body ? (method == "REQMOD" ? "req-body" : "res-body") : "null-body", off);
    return method + " icap://127.0.0.1:1344/av ICAP/1.0\r\nHost: 127.0.0.1:1344\r\n" + fields +
           "Encapsulated: " + enc + "\r\n\r\n" + req_hdr + res_hdr + (body ? *body : std::string());
}

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
        virus_total = 0;
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
        ASSERT_TRUE(tavexd.start()) << tvx_test::read_file(tavexd.dir() / "stderr");
        g_config.tavex_addresses.push_back({DAEMON_ADDR_LOCAL, "", tavexd.socket_path()});
        g_config.TavexAddress.push_back(tavexd.address());
    }
    tvx_test::tavexd_process tavexd;
};

}  // namespace flow_test

#endif
