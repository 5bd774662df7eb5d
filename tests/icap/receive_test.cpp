// Entity reception: what is derived from the HTTP headers (URL, content
// type and length), chunk parsing, and hostile sizes and offsets, which get
// the 400 reply and a closed connection instead of a crash or an allocation.
#include "flow_fixture.h"

#include "icap/handle.h"
#include "icap/receive.h"
#include "support/log_capture.h"

namespace flow_test {
namespace {

TEST(Receive, ContentLength)
{
    struct { const char *hdr; long want; } cases[] = {
        {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-99/5000\r\nContent-Length: 100\r\n\r\n", 5000},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n", 2147483647},
        {"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", -1},
        {"HTTP/1.1 200 OK\r\ncontent-length:   42\r\n\r\n", 42},
        {"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", 2147483647},
        {"HTTP/1.1 200 OK\r\nContent-Range: bytes 0-99/*\r\n\r\n", -1},
        {"HTTP/1.1 200 OK\r\nContent-Range: bytes 0-99\r\nContent-Length: 100\r\n\r\n", 100},
        {"HTTP/1.1 200 OK\r\nX-Content-Length: 7\r\n\r\n", -1},
        {"HTTP/1.1 200 OK\r\n\r\n", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(get_real_content_length(c.hdr), c.want) << c.hdr;
}

TEST(Receive, HeaderValue)
{
    const char *hdr = "GET / HTTP/1.1\r\nX-Host: wrong\r\nHOST: \t example.com  \r\nContent-Type:text/html\n\r\n";
    char v[64];
    EXPECT_EQ(icap_header_value(hdr, "host:", v, sizeof v), 1);
    EXPECT_STREQ(v, "example.com  ");
    EXPECT_EQ(icap_header_value(hdr, "content-type:", v, sizeof v), 1);
    EXPECT_STREQ(v, "text/html");
    EXPECT_EQ(icap_header_value(hdr, "referer:", v, sizeof v), 0);
    EXPECT_STREQ(v, "");
    EXPECT_EQ(icap_header_value(hdr, "host:", v, 5), 1);  // cut to the capacity
    EXPECT_STREQ(v, "exam");
}

TEST(Receive, UrlAssembly)
{
    struct { std::string hdr; std::string url; } cases[] = {
        {"GET /a/b HTTP/1.1\r\nHost: example\r\n\r\n", "example/a/b"},
        {"GET http://h/x HTTP/1.1\r\nHost: example\r\n\r\n", "http://h/x"},
        {"GET HTTPS://h/x HTTP/1.1\r\nHost: h\r\n\r\n", "HTTPS://h/x"},
        {"get a/b HTTP/1.1\r\nHost: example\r\n\r\n", "example/a/b"},
        {"GET /a HTTP/1.1\r\nHost: example/\r\n\r\n", "example/a"},
        {"GET a HTTP/1.1\r\nHost: example/\r\n\r\n", "example/a"},
        {"POST /form HTTP/1.1\r\nHost: example\r\n\r\n", "example/form"},
        {"HEAD /a HTTP/1.1\r\nHost: example\r\n\r\n", "example"},
        {"CONNECT example:443 HTTP/1.1\r\nHost: example:443\r\n\r\n", "example:443"},
        {"GET /a HTTP/1.1\r\nReferer: http://r/page\r\n\r\n", "http://r/page/a"},
        {"GET /a HTTP/1.1\r\nUser-Agent: x\r\n\r\n", ""},
        {"GET http://example.com/f.bin HTTP/1.0\r\nUser-Agent: x\r\n\r\n", "http://example.com/f.bin"},
        {"GET /a", ""},
        {"GET  \r\nHost: example\r\n\r\n", "example"},
        {"Host: example\r\nGET /x", "example"},  // a target without a delimiter leaves the host
        {"GETX /a HTTP/1.1\r\nHost: example\r\n\r\n", "example"},
    };
    char url[ICAP_URL_MAX];
    for (const auto &c : cases) {
        icap_assemble_url(c.hdr.c_str(), url, sizeof url);
        EXPECT_EQ(std::string(url), c.url) << c.hdr;
    }

    // An over-long host and target are cut at the URL's capacity.
    std::string host(9000, 'h');
    std::string target = "/" + std::string(5000, 't');
    std::string hdr = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    memset(url, 'X', sizeof url);
    icap_assemble_url(hdr.c_str(), url, sizeof url);
    EXPECT_EQ(std::string(url), (host + target).substr(0, ICAP_URL_MAX - 1));
    std::string huge_host(200000, 'h');
    hdr = "GET /a HTTP/1.1\r\nHost: " + huge_host + "\r\n\r\n";
    icap_assemble_url(hdr.c_str(), url, sizeof url);
    EXPECT_EQ(strlen(url), ICAP_URL_MAX - 1);
}

const std::string get_hdr = "GET /f HTTP/1.1\r\nHost: example.com\r\n\r\n";
const std::string res_hdr = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";

std::string head(const std::string &encapsulated, const std::string &fields = "")
{
    return "RESPMOD icap://127.0.0.1/av ICAP/1.0\r\nHost: 127.0.0.1\r\n" + fields + "Encapsulated: " + encapsulated +
           "\r\n\r\n";
}

std::string hdr_enc(const std::string &body_name = "res-body")
{
    return "res-hdr=0, " + body_name + "=" + std::to_string(res_hdr.size());
}

TEST_F(Flow, HostileMessagesGet400AndTheConnectionCloses)
{
    std::string long_ext = "1;" + std::string(70000, 'x') + "\r\nA\r\n0\r\n\r\n";
    std::string trailers = "0\r\n";
    for (int i = 0; i < 200; ++i)
        trailers += "X-Trailer: y\r\n";
    struct { const char *what; std::string request; } cases[] = {
        {"header is the last entity", head("res-hdr=0") + res_hdr},
        {"offsets go backwards", head("req-hdr=0, res-hdr=40, res-body=20") + get_hdr + res_hdr},
        {"header larger than 1 MiB", head("res-hdr=0, res-body=1048577") + res_hdr},
        {"header of 4 GiB", head("res-hdr=0, res-body=4294967295") + res_hdr},
        {"entity after the body", head(hdr_enc() + ", null-body=100") + res_hdr + "0\r\n\r\n"},
        {"chunk size beyond 32 bits", head(hdr_enc()) + res_hdr + "ffffffffff\r\nabc\r\n0\r\n\r\n"},
        {"chunk size of 2^64", head(hdr_enc()) + res_hdr + "10000000000000000\r\n0\r\n\r\n"},
        {"negative chunk size", head(hdr_enc()) + res_hdr + "-5\r\nabc\r\n0\r\n\r\n"},
        {"endless chunk-size line", head(hdr_enc()) + res_hdr + long_ext},
        {"endless trailer", head(hdr_enc()) + res_hdr + trailers + "\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        if (fd >= 0)
            close(fd);
        fd = sv[0];
        client.adopt(sv[1]);
        readline_reset();
        icap_request_reset(g_request);
        log_capture log(0xFF);

        icap_reply r;
        bool closed = false;
        int rc = exchange([&] {
            client.send(c.request);
            client.read_reply(r);
            closed = client.wait_closed(5000);
        });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(r.raw, reply_400);
        EXPECT_TRUE(closed);
        EXPECT_EQ(fd, -1);
        EXPECT_TRUE(cache_empty());
        EXPECT_FALSE(log.has("icap_dump_entities: getting response header; hpool=1048577\n"));
    }
}

TEST_F(Flow, ChunkExtensionsAndTrailers)
{
    // "1a;name=value" announces 26 bytes; trailer fields are dropped and the
    // next request on the connection is read as such.
    std::string data(26, 'z');
    std::string body = "1a;name=value\r\n" + data + "\r\n0\r\nX-Checksum: 1\r\n\r\n";
    std::string second = head(hdr_enc(), "Allow: 204\r\n") + res_hdr + "3\r\nabc\r\n0\r\n\r\n";
    icap_reply r1, r2;
    std::thread t([&] { client.send(head(hdr_enc()) + res_hdr + body + second) && client.read_reply(r1) &&
                        client.read_reply(r2); });
    EXPECT_EQ(serve(), 200);
    icap_request_reset(g_request);
    EXPECT_EQ(serve(), 200);
    t.join();
    EXPECT_EQ(r1.body, data);
    EXPECT_EQ(r2.raw, reply_204);
}

TEST_F(Flow, OnlyIeofEndsThePreview)
{
    // A last chunk with another extension is a preview that is complete at
    // its size, so the rest is asked for.
    with_daemon();
    std::string body(1024, 'p');
    std::string preview = "400\r\n" + body + "\r\n0;name=value\r\n\r\n";
    std::string got;
    icap_reply r;
    exchange([&] {
        client.send(head(hdr_enc(), "Preview: 1024\r\n") + res_hdr + preview);
        got = client.read_until(istag.substr(2));
        client.send("2\r\nxy\r\n0\r\n\r\n") && client.read_reply(r);
    });
    EXPECT_EQ(got, continue_100);
    EXPECT_EQ(r.body, body + "xy");
}

TEST_F(Flow, EmptyRequestHeaderIsLoggedAndSkipped)
{
    log_capture log(0xFF);
    std::string b = tvx_test::chunked("hello");
    icap_reply r = roundtrip(head("req-hdr=0, res-hdr=0, res-body=" + std::to_string(res_hdr.size())) + res_hdr + b);
    EXPECT_TRUE(log.has("icap_dump_entities: error in req-hdr hpool 0 - 0\n"));
    EXPECT_EQ(r.http_header, res_hdr);
    EXPECT_EQ(r.body, "hello");
}

}  // namespace
}  // namespace flow_test

namespace flow_test {
namespace {

// A changed body gets its new size in the header, the field name kept as
// the server wrote it.
TEST(Hold, ContentLengthRewrite)
{
    struct { std::string in; unsigned long size; int rc; std::string out; } cases[] = {
        {"HTTP/1.1 200 OK\r\ncontent-LENGTH: 12345\r\nX-A: b\r\n\r\n", 42, 1,
         "HTTP/1.1 200 OK\r\ncontent-LENGTH: 42\r\nX-A: b\r\n\r\n"},
        {"HTTP/1.1 200 OK\r\nContent-Length:7\r\n\r\n", 0, 1, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
        {"HTTP/1.1 200 OK\r\nX-Content-Length: 7\r\nTransfer-Encoding: chunked\r\n\r\n", 5, 0,
         "HTTP/1.1 200 OK\r\nX-Content-Length: 7\r\nTransfer-Encoding: chunked\r\n\r\n"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1", 3000000000ul, 1, "HTTP/1.1 200 OK\r\nContent-Length: 3000000000"},
    };
    for (const auto &c : cases) {
        icap_entity e;
        e.buffer = c.in;
        e.size = static_cast<unsigned>(c.in.size());
        EXPECT_EQ(icap_rewrite_content_length(e, c.size), c.rc) << c.in;
        EXPECT_EQ(e.buffer, c.out);
        EXPECT_EQ(e.size, c.out.size());
    }
}

}  // namespace
}  // namespace flow_test
