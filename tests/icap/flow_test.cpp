// The request flow end to end over a socket pair: whole replies compared
// byte for byte (204, the unchanged message, the block page), the preview
// dialogue, re-chunking of large bodies, and temp files gone afterwards.
#include "flow_fixture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>

#include "conf_parser/expr.h"
#include "icap/send.h"
#include "policy/mime_rules.h"

#include "support/log_capture.h"

namespace flow_test {
namespace {

const std::string get_hdr = "GET /files/f.zip HTTP/1.1\r\nHost: example.com\r\nUser-Agent: test\r\n\r\n";
const std::string url = "example.com/files/f.zip";

std::string res_hdr_for(size_t length)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nContent-Length: " + std::to_string(length) +
           "\r\n\r\n";
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

// The 200 reply that carries a RESPMOD message back unchanged.
std::string echo_respmod(const std::string &res_hdr, const std::string &body)
{
    return "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + std::to_string(res_hdr.size()) + istag +
           res_hdr + rechunked(body);
}

std::string block_reply(const std::string &page, bool keepalive = true)
{
    std::string hdr = report_header(page.size(), keepalive);
    return "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + std::to_string(hdr.size()) +
           (keepalive ? "" : "\r\nConnection: close") +
           "\r\nX-Response-Info: Report\r\nX-Response-Desc: url was blocked by administrator" + istag + hdr +
           rechunked(page);
}

TEST_F(Flow, CleanRespmodIs204WhenAllowed)
{
    std::string body = pattern(5000);
    std::string b = tvx_test::chunked(body, 1000);
    int rc = 0;
    icap_reply r = roundtrip(icap_msg("RESPMOD", "Allow: 204\r\n", get_hdr, res_hdr_for(5000), &b), &rc);
    EXPECT_EQ(rc, 200);
    EXPECT_EQ(r.raw, reply_204);
    EXPECT_TRUE(cache_empty());
}

TEST_F(Flow, CleanRespmodWithoutAllowComesBackUnchanged)
{
    std::string body = pattern(5000);
    std::string b = tvx_test::chunked(body, 1000);
    icap_reply r = roundtrip(icap_msg("RESPMOD", "", get_hdr, res_hdr_for(5000), &b));
    EXPECT_EQ(r.raw, echo_respmod(res_hdr_for(5000), body));
    EXPECT_TRUE(cache_empty());
}

TEST_F(Flow, EmptyBodyComesBackAsLastChunkAlone)
{
    std::string b = "0\r\n\r\n";
    icap_reply r = roundtrip(icap_msg("RESPMOD", "", get_hdr, res_hdr_for(0), &b));
    EXPECT_EQ(r.raw, echo_respmod(res_hdr_for(0), ""));
}

TEST_F(Flow, BodyFileShorterThanItsSizeSendsWhatTheFileHolds)
{
    // One small chunk is read at once; larger bodies are measured first.
    // Either way only the bytes the file holds are announced and sent.
    for (size_t size : {size_t(1024), size_t(200000)}) {
        SCOPED_TRACE(size);
        std::string held = pattern(size - 10);
        std::string hdr = res_hdr_for(size);
        icap_request_reset(g_request);
        strcpy(g_request.method, "RESPMOD");
        icap_entity h, b;
        h.name = "res-hdr";
        h.buffer = hdr;
        h.size = static_cast<unsigned>(hdr.size());
        b.name = "res-body";
        b.path = cache + "res-body-short";
        tvx_test::write_file(b.path, held);
        b.fd = open(b.path.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(b.fd, 0);
        b.size = static_cast<unsigned>(size);
        g_request.entities = {h, b};
        snprintf(g_request.reply_encapsulated, sizeof g_request.reply_encapsulated, "res-hdr=0, res-body=%zu",
                 hdr.size());
        icap_reply r;
        bool ok = false;
        std::thread t([&] { ok = client.read_reply(r); });
        EXPECT_EQ(icap_send_reply_200(g_request, fd), 200);
        t.join();
        ASSERT_TRUE(ok);
        EXPECT_EQ(r.chunk_sizes, std::vector<size_t>{held.size()});
        EXPECT_TRUE(r.body == held);
        EXPECT_TRUE(cache_empty());
    }
}

TEST_F(Flow, ReqmodWithoutBodyComesBackUnchangedEvenWithAllow204)
{
    // As Squid sends a GET.
    int rc = 0;
    icap_reply r = roundtrip(icap_msg("REQMOD", "Preview: 0\r\nAllow: 204, trailers\r\n", get_hdr, "", nullptr), &rc);
    EXPECT_EQ(rc, 200);
    EXPECT_EQ(r.raw, "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=" + std::to_string(get_hdr.size()) +
                         istag + get_hdr);
}

TEST_F(Flow, ReqmodWithBodyListsTheRequestHeaderFirst)
{
    std::string post = "POST /upload HTTP/1.1\r\nHost: example.com\r\nContent-Length: 300\r\n\r\n";
    std::string body = pattern(300);
    std::string b = tvx_test::chunked(body, 100);
    icap_reply r = roundtrip(icap_msg("REQMOD", "", post, "", &b));
    EXPECT_EQ(r.raw, "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, req-body=" + std::to_string(post.size()) + istag +
                         post + rechunked(body));
}

TEST_F(Flow, BlockAllBlocksBodylessReqmodAndRespmod)
{
    g_config.BlockAll = true;
    icap_reply r = roundtrip(icap_msg("REQMOD", "Allow: 204\r\n", get_hdr, "", nullptr));
    EXPECT_EQ(r.raw, block_reply(block_page(url)));
    EXPECT_TRUE(cache_empty());

    icap_request_reset(g_request);
    std::string b = tvx_test::chunked(pattern(3000), 1000);
    r = roundtrip(icap_msg("RESPMOD", "Allow: 204\r\n", get_hdr, res_hdr_for(3000), &b));
    EXPECT_EQ(r.raw, block_reply(block_page(url)));
    EXPECT_TRUE(cache_empty());
}

expr::expression_ptr url_is(const std::string &text)
{
    using namespace expr;
    return std::make_shared<op_ieq>(
        value_owner<string_type_traits>(new value_var<string_type_traits>("request_url")),
        value_owner<string_type_traits>(new value_const<string_type_traits>(text)));
}

TEST_F(Flow, MatchSectionSettingBlockAllWinsOverTheGlobalValue)
{
    // [match] if request_url == <url> { BlockAll = yes }, then one that lets another URL through.
    g_config.add_expr(url_is(url));
    g_config.add_override<bool>(BLOCK_ALL, true);
    g_config.add_expr(url_is("example.com/free"));
    g_config.add_override<bool>(BLOCK_ALL, false);

    icap_reply r = roundtrip(icap_msg("REQMOD", "", get_hdr, "", nullptr));
    EXPECT_EQ(r.raw, block_reply(block_page(url)));

    std::string free_hdr = "GET /free HTTP/1.1\r\nHost: example.com\r\n\r\n";
    g_config.BlockAll = true;
    icap_request_reset(g_request);
    r = roundtrip(icap_msg("REQMOD", "", free_hdr, "", nullptr));
    EXPECT_EQ(r.raw, "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=" + std::to_string(free_hdr.size()) +
                         istag + free_hdr);
}

TEST_F(Flow, BlockPageWithKeepAliveOff)
{
    g_config.BlockAll = true;
    g_config.KeepAlive = false;
    icap_reply r = roundtrip(icap_msg("REQMOD", "", get_hdr, "", nullptr));
    EXPECT_EQ(r.raw, block_reply(block_page(url), false));
}

TEST_F(Flow, BlockPageEscapesTheUrl)
{
    g_config.BlockAll = true;
    std::string hdr = "GET /a?x=<script>alert(1)</script>&y=\"z\" HTTP/1.1\r\nHost: example.com\r\n\r\n";
    icap_reply r = roundtrip(icap_msg("REQMOD", "", hdr, "", nullptr));
    EXPECT_EQ(r.body, block_page("example.com/a?x=&lt;script&gt;alert(1)&lt;/script&gt;&amp;y=&quot;z&quot;"));
}

TEST_F(Flow, MissingTemplateGivesNoBlockPage)
{
    g_config.BlockAll = true;
    g_config.Templates = dir / "none";
    int rc = -1;
    icap_reply r = roundtrip(icap_msg("REQMOD", "", get_hdr, "", nullptr), &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(r.raw, "ICAP/1.0 200 OK\r\nEncapsulated: null-body=0" + istag);
    EXPECT_TRUE(cache_empty());
}

TEST_F(Flow, RespmodReplyNeverCarriesTheRequestHeader)
{
    std::string body = pattern(10);
    std::string b = tvx_test::chunked(body);
    icap_reply r = roundtrip(icap_msg("RESPMOD", "Preview: 1024\r\n", get_hdr, res_hdr_for(10), &b));
    // A preview that ends short of its size without ieof holds the whole body.
    EXPECT_EQ(r.raw, echo_respmod(res_hdr_for(10), body));
}

TEST_F(Flow, WithoutEncapsulatedTheClientGets400)
{
    int rc = 0;
    icap_reply r = roundtrip("RESPMOD icap://x/av ICAP/1.0\r\nHost: x\r\n\r\n", &rc);
    EXPECT_EQ(rc, 400);
    EXPECT_EQ(r.raw, reply_400);
    EXPECT_GE(fd, 0);  // the stream is still in step: the connection stays
}

TEST_F(Flow, LargeBodyGoesOutInMaxBlocksizeChunks)
{
    std::string body = pattern(25 * 1048576);
    std::string b = tvx_test::chunked(body, 65536);
    std::string hdr = res_hdr_for(body.size());
    icap_reply r;
    bool ok = false;
    exchange([&] { ok = client.send(icap_msg("RESPMOD", "", get_hdr, hdr, &b)) && client.read_reply(r, 60000); });
    ASSERT_TRUE(ok);
    EXPECT_EQ(r.chunk_sizes, (std::vector<size_t>{10485760, 10485760, 5242880}));
    EXPECT_TRUE(r.body == body);
    EXPECT_NE(r.raw.find(hdr + "a00000\r\n"), std::string::npos);
    EXPECT_NE(r.raw.find("\r\n500000\r\n"), std::string::npos);
    EXPECT_EQ(r.raw.substr(r.raw.size() - 7), "\r\n0\r\n\r\n");
    EXPECT_TRUE(cache_empty());

    // Exactly one block: one chunk and the last chunk.
    icap_request_reset(g_request);
    body.resize(10485760);
    b = tvx_test::chunked(body, 1 << 20);
    exchange([&] { ok = client.send(icap_msg("RESPMOD", "", get_hdr, hdr, &b)) && client.read_reply(r, 60000); });
    ASSERT_TRUE(ok);
    EXPECT_EQ(r.chunk_sizes, (std::vector<size_t>{10485760}));

    // A smaller MaxBlocksize cuts smaller chunks.
    icap_request_reset(g_request);
    g_config.MaxBlocksize = 1000;
    body = pattern(2500);
    b = tvx_test::chunked(body, 2500);
    exchange([&] { ok = client.send(icap_msg("RESPMOD", "", get_hdr, hdr, &b)) && client.read_reply(r); });
    ASSERT_TRUE(ok);
    EXPECT_EQ(r.chunk_sizes, (std::vector<size_t>{1000, 1000, 500}));
    EXPECT_EQ(r.body, body);
}

// Preview dialogues, as Squid runs them.
TEST_F(Flow, PreviewZeroThenContinue)
{
    with_daemon();
    std::string body = pattern(70000);
    std::string nobody = "0\r\n\r\n";
    std::string head = icap_msg("RESPMOD", "Preview: 0\r\n", get_hdr, res_hdr_for(70000), &nobody);
    std::string got_continue;
    icap_reply r;
    bool ok = false;
    exchange([&] {
        ok = client.send(head);
        got_continue = client.read_until(istag.substr(2));
        ok = ok && client.send(tvx_test::chunked(body, 8191)) && client.read_reply(r);
    });
    ASSERT_TRUE(ok);
    EXPECT_EQ(got_continue, continue_100);
    EXPECT_EQ(r.raw, echo_respmod(res_hdr_for(70000), body));
    EXPECT_TRUE(cache_empty());
}

TEST_F(Flow, PreviewZeroWithoutDaemonIs204AtOnce)
{
    std::string nobody = "0\r\n\r\n";
    icap_reply r = roundtrip(icap_msg("RESPMOD", "Preview: 0\r\nAllow: 204\r\n", get_hdr, res_hdr_for(70000), &nobody));
    EXPECT_EQ(r.raw, reply_204);
}

TEST_F(Flow, PreviewOf1024ThenTheRest)
{
    with_daemon();
    std::string body = pattern(100000);
    std::string preview = tvx_test::chunked(body.substr(0, 1024), 1024);
    std::string head = icap_msg("RESPMOD", "Preview: 1024\r\n", get_hdr, res_hdr_for(body.size()), &preview);
    std::string got_continue;
    icap_reply r;
    bool ok = false;
    exchange([&] {
        ok = client.send(head);
        got_continue = client.read_until(istag.substr(2));
        ok = ok && client.send(tvx_test::chunked(body.substr(1024), 3333)) && client.read_reply(r);
    });
    ASSERT_TRUE(ok);
    EXPECT_EQ(got_continue, continue_100);
    EXPECT_EQ(r.raw, echo_respmod(res_hdr_for(body.size()), body));
}

TEST_F(Flow, PreviewWithIeofHoldsTheWholeBody)
{
    with_daemon();
    // Small bodies end in "0; ieof": no "100 Continue".
    for (size_t n : {0, 300, 1024}) {
        icap_request_reset(g_request);
        std::string body = pattern(n);
        std::string b = tvx_test::chunked(body, 1024, true);
        icap_reply r = roundtrip(icap_msg("RESPMOD", "Preview: 1024\r\n", get_hdr, res_hdr_for(n), &b));
        EXPECT_EQ(r.raw, echo_respmod(res_hdr_for(n), body)) << n;
        icap_request_reset(g_request);
        r = roundtrip(icap_msg("RESPMOD", "Preview: 1024\r\nAllow: 204\r\n", get_hdr, res_hdr_for(n), &b));
        EXPECT_EQ(r.raw, reply_204) << n;
    }
    EXPECT_TRUE(cache_empty());
}

TEST_F(Flow, BlockInPreviewBeforeTheRestIsRead)
{
    g_config.BlockAll = true;
    std::string body = pattern(4096);
    std::string preview = tvx_test::chunked(body.substr(0, 1024), 512);
    icap_reply r = roundtrip(icap_msg("RESPMOD", "Preview: 1024\r\nAllow: 204\r\n", get_hdr, res_hdr_for(4096), &preview));
    EXPECT_EQ(r.raw, block_reply(block_page(url)));
    EXPECT_TRUE(cache_empty());
}

// MIME rules by content type: pass, reject with a page, reject by cutting
// the body off.
class FlowMime : public Flow {
protected:
    void SetUp() override
    {
        Flow::SetUp();
        mime_parse_block("text/plain pass all\napplication reject -report all\nimage reject -trunc all\n");
    }
    void TearDown() override
    {
        mime_rules_reset();
        Flow::TearDown();
    }
    static std::string res_hdr(const std::string &type, size_t length)
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(length) +
               "\r\n\r\n";
    }
};

TEST_F(FlowMime, PassInPreviewIs204WithoutTheRest)
{
    with_daemon();
    std::string preview = tvx_test::chunked(pattern(1024), 1024);
    icap_reply r = roundtrip(icap_msg("RESPMOD", "Preview: 1024\r\n", get_hdr, res_hdr("text/plain", 9000), &preview));
    EXPECT_EQ(r.raw, reply_204);
}

TEST_F(FlowMime, PassOutsidePreviewStillReachesTheScan)
{
    // The whole body is here: the pass rule does not keep it from the scan,
    // after which a clean body without Allow: 204 comes back unchanged.
    with_daemon();
    std::string body = pattern(900);
    std::string b = tvx_test::chunked(body, 100);
    std::string hdr = res_hdr("text/plain", 900);
    icap_reply r = roundtrip(icap_msg("RESPMOD", "", get_hdr, hdr, &b));
    EXPECT_EQ(r.raw, echo_respmod(hdr, body));
}

TEST_F(FlowMime, RejectWithReportOrTruncation)
{
    log_capture log(0xFF);
    std::string b = tvx_test::chunked(pattern(3000), 1000);
    icap_reply r = roundtrip(icap_msg("RESPMOD", "Allow: 204\r\n", get_hdr, res_hdr("application/x-msdownload", 3000), &b));
    EXPECT_EQ(r.raw, block_reply(block_page(url)));
    EXPECT_TRUE(log.has("url:[" + url + "], content-type: application/x-msdownload, size=3000, rule: application = "
                        "[reject -report all] -> reject access to this url\n"));

    icap_request_reset(g_request);
    r = roundtrip(icap_msg("RESPMOD", "Allow: 204\r\n", get_hdr, res_hdr("image/png", 3000), &b));
    EXPECT_EQ(r.raw, block_reply(""));
    EXPECT_TRUE(cache_empty());
}

TEST_F(Flow, TwoRequestsOnOneConnection)
{
    std::string b1 = tvx_test::chunked(pattern(10));
    std::string b2 = tvx_test::chunked(pattern(20), 7);
    std::string both = icap_msg("RESPMOD", "", get_hdr, res_hdr_for(10), &b1) +
                       icap_msg("RESPMOD", "Allow: 204\r\n", get_hdr, res_hdr_for(20), &b2);
    icap_reply r1, r2;
    std::thread t([&] { client.send(both) && client.read_reply(r1) && client.read_reply(r2); });
    EXPECT_EQ(serve(), 200);
    icap_request_reset(g_request);
    EXPECT_FALSE(readline_empty());
    EXPECT_EQ(serve(), 200);
    t.join();
    EXPECT_EQ(r1.raw, echo_respmod(res_hdr_for(10), pattern(10)));
    EXPECT_EQ(r2.raw, reply_204);
}

TEST_F(Flow, DecisionLines)
{
    log_capture log(0xFF);
    std::string b = tvx_test::chunked(pattern(10));
    roundtrip(icap_msg("RESPMOD", "X-Client-IP: 10.0.0.5\r\n", get_hdr, res_hdr_for(10), &b));
    EXPECT_TRUE(log.has("url:[example.com/files/f.zip], client_ip:[10.0.0.5], content-type: application/zip, "
                        "size=10, rule: * = [scan all] -> antivirus disabled\n"))
        << log.text();

    icap_request_reset(g_request);
    g_config.BlockAll = true;
    roundtrip(icap_msg("RESPMOD", "", get_hdr, res_hdr_for(10), &b));
    EXPECT_TRUE(log.has("url:[example.com/files/f.zip], content-type: application/zip, size=10 -> "
                        "blocked due to BlockAll\n"));
}

// A client that disappears in the middle of a body: no reply, the request
// fails, and the temp file that was named for the signal handlers is gone.
TEST_F(Flow, ClientGoneMidBody)
{
    std::string head = icap_msg("RESPMOD", "", get_hdr, res_hdr_for(100000), nullptr);
    head.replace(head.find("null-body"), 9, "res-body");
    std::string seen_temp;
    unsigned temp_mode = 0;
    int rc = exchange([&] {
        client.send(head + "186a0\r\n" + pattern(5000));
        // mkostemp creates the file 0600 and its mode is set right after:
        // the file may be seen in between, so look until the mode is there.
        for (int i = 0; i < 500 && temp_mode != 0660u; ++i) {
            std::vector<std::string> names = tvx_test::list_dir(cache);
            if (!names.empty()) {
                seen_temp = cache + names[0];
                struct stat st;
                if (stat(seen_temp.c_str(), &st) == 0)
                    temp_mode = st.st_mode & 07777;
            }
            if (temp_mode != 0660u)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        client.close();
    });
    EXPECT_EQ(rc, 0);
    ASSERT_FALSE(seen_temp.empty());
    EXPECT_EQ(seen_temp.rfind(cache + "res-body" + std::to_string(getpid()) + "-", 0), 0u) << seen_temp;
    EXPECT_EQ(seen_temp.size(), cache.size() + 8 + std::to_string(getpid()).size() + 7);
    EXPECT_EQ(temp_mode, 0660u);
    EXPECT_TRUE(cache_empty());
    EXPECT_EQ(fd, -1);
}

}  // namespace
}  // namespace flow_test
