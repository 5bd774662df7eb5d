// Squid as the ICAP client, as in production: curl fetches and uploads
// through a real Squid whose REQMOD and RESPMOD services are tavex-icapd,
// with tavexd behind it and a small origin server of the test's own.
//
// Response bodies stay under 64 KB: Squid 5 (Debian 12) stops reading an
// origin's response for good when its 64 KB buffer toward a RESPMOD service
// fills before the service starts answering (Squid bug 5352, fixed in later
// Squid releases), and a scanning service answers only once it has the
// whole body. Large bodies go through REQMOD uploads instead, where Squid
// streams the client's body without that limit.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/squid_fixture.h"
#include "support/support.h"
#include "support/tavexd_process.h"
#include "tavexd/tvd_eicar.h"

using namespace tvx_test;

namespace {

class SquidFlow : public ::testing::Test {
protected:
    tavexd_process scanner;
    daemon_process icapd;
    origin_server origin;
    squid_process squid;
    temp_dir work;

    void start(const std::string &extra = "")
    {
        ASSERT_TRUE(file_exists(squid_path)) << "squid is not installed (scripts/deps.sh installs it)";
        ASSERT_TRUE(file_exists(curl_path)) << "curl is not installed (scripts/deps.sh installs it)";
        ASSERT_GT(origin.port(), 0);
        ASSERT_TRUE(scanner.start()) << scanner.stderr_text();
        ASSERT_TRUE(icapd.start("TavexAddress = " + scanner.local_address() +
                                "\nKeepAlive = yes\nUsePreview = yes\nLogLevel = 35\n" + extra))
            << icapd.stderr_text();
        ASSERT_TRUE(squid.start(icapd.port())) << squid.cache_log();
    }
    std::string url(const std::string &path) const
    {
        return "http://127.0.0.1:" + std::to_string(origin.port()) + path;
    }
    // curl through Squid; the body received lands in out, the HTTP status is returned.
    std::string curl(const std::vector<std::string> &extra, const std::string &path, std::string &out)
    {
        std::string file = work / "reply";
        std::vector<std::string> argv = {curl_path, "-s", "-S", "--max-time", "60", "-x",
                                         "http://127.0.0.1:" + std::to_string(squid.port()), "-o", file,
                                         "-w", "%{http_code}"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(url(path));
        run_result r = run_program(argv, "", 90);
        out = file_exists(file) ? read_file(file) : "";
        unlink(file.c_str());
        return r.status == 0 ? r.out : "curl failed: " + r.err;
    }
    bool cache_empties()
    {
        return eventually([this] { return list_dir(icapd.cache_dir()).empty(); }, 5000);
    }
};

TEST_F(SquidFlow, DownloadsPassByteForByteAndAVirusIsCured)
{
    start();
    struct {
        const char *path;
        std::string body;
        std::string expected;  // what the browser gets: the body, or its cure
    } cases[] = {
        {"/small.txt", "hello, proxy\n", "hello, proxy\n"},  // Squid may accept a 204
        {"/empty.bin", "", ""},
        {"/random.bin", random_bytes(60000, 7), ""},  // sent back whole in a 200 or a 204
        {"/eicar.com", tvd_eicar(), ""},
        {"/page.html", "<html>" + tvd_eicar() + "</html>", "<html></html>"},
    };
    cases[2].expected = cases[2].body;
    for (auto &c : cases)
        origin.put(c.path, c.body);
    for (auto &c : cases) {
        std::string got;
        ASSERT_EQ(curl({}, c.path, got), "200") << c.path << "\n" << squid.cache_log();
        EXPECT_EQ(got.size(), c.expected.size()) << c.path;
        EXPECT_TRUE(got == c.expected) << c.path;
    }
    EXPECT_TRUE(icapd.wait_log("viruses:[EICAR-Test-File]"));
    EXPECT_TRUE(cache_empties());
}

TEST_F(SquidFlow, WithoutCureAVirusGetsTheAccessDeniedPageBothWays)
{
    start("Infected = report\n");
    origin.put("/eicar.com", tvd_eicar());
    std::string got;
    EXPECT_EQ(curl({}, "/eicar.com", got), "200");
    EXPECT_NE(got.find("EICAR-Test-File"), std::string::npos) << got.substr(0, 400);
    EXPECT_EQ(got.find(tvd_eicar()), std::string::npos);

    // Uploads go through REQMOD: a clean one reaches the origin intact, an
    // infected one never does.
    std::string clean = random_bytes(3 * 1024 * 1024 + 17, 3);  // streamed after "100 Continue"
    write_file(work / "clean.bin", clean);
    write_file(work / "eicar.com", tvd_eicar());
    EXPECT_EQ(curl({"--data-binary", "@" + (work / "clean.bin"), "-H", "Content-Type: application/octet-stream"},
                   "/up/clean", got),
              "200");
    EXPECT_EQ(got, "stored " + std::to_string(clean.size()) + "\n");
    EXPECT_TRUE(origin.uploaded("/up/clean") == clean);

    curl({"--data-binary", "@" + (work / "eicar.com"), "-H", "Content-Type: application/octet-stream"}, "/up/eicar",
         got);
    EXPECT_NE(got.find("EICAR-Test-File"), std::string::npos) << got.substr(0, 400);
    EXPECT_EQ(origin.uploaded("/up/eicar"), "(none)");
    EXPECT_TRUE(cache_empties());
}

TEST_F(SquidFlow, ManyRequestsKeepTheServiceUp)
{
    start();
    // Squid suspends a service after repeated failures; a run of downloads
    // over its persistent ICAP connections must leave no failure behind.
    std::string body = random_bytes(50 * 1024, 11);
    origin.put("/obj.bin", body);
    for (int i = 0; i < 30; ++i) {
        std::string got;
        ASSERT_EQ(curl({}, "/obj.bin", got), "200") << "request " << i;
        ASSERT_TRUE(got == body) << "request " << i;
    }
    std::string log = squid.cache_log();
    for (const char *bad : {"suspend", "ICAP service is down", "ERR_ICAP_FAILURE", "essential ICAP service"})
        EXPECT_EQ(log.find(bad), std::string::npos) << bad << "\n" << log;
    EXPECT_TRUE(cache_empties());
    // Squid kept its ICAP connections: 60 transactions (a REQMOD and a
    // RESPMOD per download) were served by a handful of connection processes.
    size_t processes = count_of(icapd.log(), "Start child process\n");
    EXPECT_GE(processes, 1u);
    EXPECT_LT(processes, 10u);
}

}  // namespace
