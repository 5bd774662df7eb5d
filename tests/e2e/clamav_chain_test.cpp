// The whole chain with a real engine: curl -> Squid -> tavex-icapd ->
// tavexd on libclamav -> the test's origin. Each case is checked three
// ways: what curl receives, the threat headers Squid got from the ICAP
// reply (its ICAP log, which writes blanks as %20), and the daemon's log
// line.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/clamav_db.h"
#include "support/squid_fixture.h"
#include "support/support.h"
#include "support/tavexd_process.h"
#include "tavexd/tvd_eicar.h"

using namespace tvx_test;

namespace {

class clamav_chain : public ::testing::Test {
protected:
    temp_dir db;
    temp_dir work;
    tavexd_process scanner;
    daemon_process icapd;
    origin_server origin;
    squid_process squid;

    void start(const std::string &extra = "")
    {
        ASSERT_TRUE(file_exists(squid_path) && file_exists(curl_path)) << "scripts/deps.sh installs squid and curl";
        ASSERT_TRUE(clamav_db_write(db.path()));
        ASSERT_GT(origin.port(), 0);
        ASSERT_TRUE(scanner.start({"--engine", "clamav", "--database", db.path()})) << scanner.stderr_text();
        ASSERT_TRUE(icapd.start("TavexAddress = " + scanner.local_address() +
                                "\nKeepAlive = yes\nUsePreview = yes\nLogLevel = 3\n" + extra))
            << icapd.stderr_text();
        ASSERT_TRUE(squid.start(icapd.port())) << squid.cache_log();
    }
    std::string curl(const std::vector<std::string> &extra, const std::string &path, std::string &out)
    {
        std::string file = work / "reply";
        std::vector<std::string> argv = {curl_path, "-s", "-S", "--max-time", "60", "-x",
                                         "http://127.0.0.1:" + std::to_string(squid.port()), "-o", file,
                                         "-w", "%{http_code}"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back("http://127.0.0.1:" + std::to_string(origin.port()) + path);
        run_result r = run_program(argv, "", 90);
        out = file_exists(file) ? read_file(file) : "";
        unlink(file.c_str());
        return r.status == 0 ? r.out : "curl failed: " + r.err;
    }
    // An archive of the test string made by a real archiver.
    std::string archive(const std::vector<std::string> &cmd, const std::string &out)
    {
        write_file(work / "eicar.com", tvd_eicar());
        std::vector<std::string> argv = cmd;
        run_result r = run_program(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(out);
    }
    bool squid_logged(const std::string &text) const
    {
        return eventually([&] { return squid.icap_log().find(text) != std::string::npos; });
    }
};

// The test database's signatures for the test string, by body and by
// digest, share this prefix; ClamAV adds ".UNOFFICIAL".
const std::string eicar_name = "Tavex.Test.Eicar";

}  // namespace

TEST_F(clamav_chain, clean_downloads_pass_and_infected_ones_get_our_page)
{
    start("Infected = report\n");
    const std::string clean = random_bytes(40000, 7);
    origin.put("/clean.bin", clean);
    std::string got;
    EXPECT_EQ(curl({}, "/clean.bin", got), "200");
    EXPECT_TRUE(got == clean);
    EXPECT_TRUE(icapd.wait_log("/clean.bin]; size=40k - ok\n")) << icapd.log();

    const std::string dir = work.path();
    struct {
        const char *path;
        std::vector<std::string> make;  // empty: the test string itself
        std::string file;
    } cases[] = {
        {"/eicar.com", {}, ""},
        {"/eicar.zip", {"/bin/sh", "-c", "cd " + dir + " && zip -q eicar.zip eicar.com"}, dir + "/eicar.zip"},
        {"/eicar.tar.gz", {"/bin/sh", "-c", "cd " + dir + " && tar czf eicar.tar.gz eicar.com"}, dir + "/eicar.tar.gz"},
        {"/eicar.7z", {"/bin/sh", "-c", "cd " + dir + " && 7z a -bd -bso0 eicar.7z eicar.com"}, dir + "/eicar.7z"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        origin.put(c.path, c.make.empty() ? tvd_eicar() : archive(c.make, c.file));
        EXPECT_EQ(curl({}, c.path, got), "200");
        EXPECT_NE(got.find("<title>"), std::string::npos) << got.substr(0, 300);
        EXPECT_NE(got.find(eicar_name), std::string::npos) << got.substr(0, 600);
        EXPECT_EQ(got.find(tvd_eicar()), std::string::npos);
        EXPECT_TRUE(icapd.wait_log(std::string(c.path) + "], code=0x20")) << icapd.log();
    }
    EXPECT_TRUE(squid_logged("RESPMOD Type=0;%20Resolution=0;%20Threat=" + eicar_name)) << squid.icap_log();
}

TEST_F(clamav_chain, an_infected_upload_never_reaches_the_origin)
{
    start("Infected = report\n");
    write_file(work / "eicar.com", tvd_eicar());
    std::string got;
    curl({"--data-binary", "@" + (work / "eicar.com"), "-H", "Content-Type: application/octet-stream"}, "/up/eicar",
         got);
    EXPECT_NE(got.find(eicar_name), std::string::npos) << got.substr(0, 400);
    EXPECT_EQ(origin.uploaded("/up/eicar"), "(none)");
    EXPECT_TRUE(squid_logged("REQMOD Type=0;%20Resolution=0;%20Threat=" + eicar_name)) << squid.icap_log();
    EXPECT_TRUE(icapd.wait_log("/up/eicar], code=0x20")) << icapd.log();
}

TEST_F(clamav_chain, move_quarantines_the_archive)
{
    start("Infected = move\n");
    const std::string dir = work.path();
    std::string zip = archive({"/bin/sh", "-c", "cd " + dir + " && zip -q eicar.zip eicar.com"}, dir + "/eicar.zip");
    origin.put("/files/eicar.zip", zip);
    std::string got;
    EXPECT_EQ(curl({}, "/files/eicar.zip", got), "200");
    EXPECT_NE(got.find(eicar_name), std::string::npos) << got.substr(0, 400);
    std::vector<std::string> q = list_dir(icapd.dir() / "quarantine");
    ASSERT_EQ(q.size(), 1u);
    EXPECT_TRUE(read_file(icapd.dir() / ("quarantine/" + q[0])) == zip);
    EXPECT_TRUE(icapd.wait_log("quarantine to file ")) << icapd.log();
    EXPECT_TRUE(squid_logged("Threat=" + eicar_name)) << squid.icap_log();
}

TEST_F(clamav_chain, an_engine_that_is_gone_gives_the_daemon_error_action)
{
    start("Infected = report\nDaemonError = report\n");
    scanner.stop();
    origin.put("/clean.bin", random_bytes(20000, 9));
    std::string got;
    EXPECT_EQ(curl({}, "/clean.bin", got), "200");
    EXPECT_NE(got.find("<title>"), std::string::npos) << got.substr(0, 300);
    EXPECT_TRUE(got != random_bytes(20000, 9));
    EXPECT_TRUE(icapd.wait_log("Daemon error has occured during check of this file!: report\n")) << icapd.log();
    EXPECT_TRUE(squid_logged("RESPMOD - Report")) << squid.icap_log();
}
