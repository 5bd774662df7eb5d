// The scan of a body carried through its action in the request flow, with
// real page templates: the page that replaces the body, the quarantined
// file with its mode, and the moves that must not happen (names that leave
// the quarantine directory, failed renames), which degrade to the report.
#include "icap/scan_flow.h"

#include <stdexcept>
#include <sys/stat.h>

#include "request/quarantine.h"
#include "scan/scan_fixture.h"
#include "scan/tvx_action.h"

using namespace scan_test;

namespace {

class action_test : public scan_fixture {
protected:
    tvx_test::tavexd_process scanner;

    void SetUp() override
    {
        scan_fixture::SetUp();
        std::string t = dir / "templates";
        mkdir(t.c_str(), 0700);
        tvx_test::write_file(t + "/ERR_ACCESS_DENIED", "denied $URL$ by $RELEASE$\n");
        tvx_test::write_file(t + "/ERR_ACCESS_DENIED_MOVED", "moved [$FILE_NAME_ERROR$]\n");
        tvx_test::write_file(t + "/ERR_FAILED_CHECK", "failed:$DAEMON_REPORT$\n");
        g_config.Templates = t;
    }
    // tavexd answering every scan with code.
    void scan_with(const char *code)
    {
        ASSERT_TRUE(scanner.start({"--code", code, "--info", "tavexd 9.9"}));
        g_config.tavex_addresses = {local_addr(scanner.socket_path())};
    }
    std::string quarantined() const { return dir / "quarantine/http:||example.test|dir|file.bin"; }
    // The entity is ready to be sent: its size is the file's, which the
    // entity holds open.
    void expect_ready(const icap_entity &e, const std::string &contents)
    {
        EXPECT_EQ(tvx_test::read_file(e.path), contents);
        EXPECT_EQ(e.size, contents.size());
        ASSERT_GE(e.fd, 0);
        struct stat held, named;
        ASSERT_EQ(fstat(e.fd, &held), 0);
        ASSERT_EQ(stat(e.path.c_str(), &named), 0);
        EXPECT_EQ(held.st_ino, named.st_ino);
    }
};

TEST_F(action_test, ReportReplacesTheBodyByThePage)
{
    scan_with("0x20");
    g_config.Incurable = ACTION_REPORT;
    icap_entity &e = add_body("infected body");
    EXPECT_EQ(icap_scan_body(e, g_request), TVX_RES_PAGE);
    expect_ready(e, "denied http://example.test/dir/file.bin by tavexd 9.9\n");
    EXPECT_STREQ(g_request.action_name, "Report");
    EXPECT_EQ(g_request.infection_type, 0);
    EXPECT_EQ(g_request.infection_resolution, 0);
    EXPECT_TRUE(logged("File is infected and cannot be cured!: report\n"));
}

TEST_F(action_test, MoveQuarantinesTheFileWithTheConfiguredMode)
{
    scan_with("0x20");
    g_config.Incurable = ACTION_MOVE;
    for (int mode : {0660, 0640}) {
        SCOPED_TRACE(mode);
        unlink(quarantined().c_str());
        icap_request_reset(g_request);
        strcpy(g_request.url, "http://example.test/dir/file.bin");
        g_config.QuarantineFilesMode = mode;
        icap_entity &e = add_body("the infected original");
        EXPECT_EQ(icap_scan_body(e, g_request), TVX_RES_PAGE);
        EXPECT_EQ(tvx_test::read_file(quarantined()), "the infected original");
        struct stat st;
        ASSERT_EQ(stat(quarantined().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(mode));
        expect_ready(e, "moved [http:||example.test|dir|file.bin]\n");
        EXPECT_STREQ(g_request.action_name, "Move");
        EXPECT_TRUE(logged("File is infected and cannot be cured!: quarantine to file " + quarantined() + "\n"));
    }
}

// Moves that cannot or must not happen: the file stays where it was (and
// becomes the page), nothing appears beside or above the quarantine
// directory, and the client gets the "moved" page under the name Report.
TEST_F(action_test, FailedMovesDegradeToTheReport)
{
    scan_with("0x20");
    g_config.Incurable = ACTION_MOVE;
    std::string q = dir / "quarantine";
    std::string long_url = "http://long.test/" + std::string(300, 'x');  // beyond the name limit of 256
    struct {
        std::string url;
        std::string target;
        const char *error;
        bool remove_quarantine;
    } cases[] = {
        {"", q + "/", "Invalid argument", false},
        {".", q + "/.", "Invalid argument", false},
        {"..", q + "/..", "Invalid argument", false},
        {long_url, q + "/http:||long.test|" + std::string(300, 'x'), "File name too long", false},
        {"http://example.test/a", q + "/http:||example.test|a", "No such file or directory", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        icap_request_reset(g_request);
        strcpy(g_request.url, c.url.c_str());
        if (c.remove_quarantine)
            rmdir(q.c_str());
        icap_entity &e = add_body("stays here");
        std::vector<std::string> with_body = tvx_test::list_dir(dir.path());

        EXPECT_EQ(icap_scan_body(e, g_request), TVX_RES_PAGE);
        EXPECT_STREQ(g_request.action_name, "Report");
        EXPECT_TRUE(logged("error in rename to file [" + c.target + "]: " + c.error + "\n"));
        EXPECT_TRUE(logged("File is infected and cannot be cured!: report\n"));
        EXPECT_EQ(tvx_test::list_dir(dir.path()), with_body);
        if (!c.remove_quarantine) {
            EXPECT_TRUE(tvx_test::list_dir(q).empty());
        }
        EXPECT_EQ(tvx_test::read_file(e.path).substr(0, 7), "moved [");
    }
}

TEST_F(action_test, QuarantineDirectoryBeyondThePathLimitEndsTheRequest)
{
    scan_with("0x20");
    g_config.Incurable = ACTION_MOVE;
    g_config.quarantine_path_max = 8;
    icap_entity &e = add_body("abc");
    EXPECT_THROW(icap_scan_body(e, g_request), std::runtime_error);
    EXPECT_EQ(tvx_test::read_file(e.path), "abc");
}

TEST_F(action_test, DaemonErrorShowsTheFailedCheckPage)
{
    g_config.tavex_addresses = {local_addr(dir / "down.sock")};
    icap_entity &e = add_body("unchecked");
    EXPECT_EQ(icap_scan_body(e, g_request), TVX_RES_PAGE);
    expect_ready(e, "failed: Communication error with Tavex (R) daemon\n");
    EXPECT_STREQ(g_request.action_name, "Report");
    EXPECT_EQ(g_request.infection_type, 2);
    EXPECT_EQ(g_request.infection_resolution, 2);
    EXPECT_TRUE(logged("Daemon error has occured during check of this file!: report\n"));
}

TEST_F(action_test, MissingTemplateFailsTheScan)
{
    scan_with("0x20");
    g_config.Incurable = ACTION_REPORT;
    g_config.Templates = dir / "no-templates";
    icap_entity &e = add_body("abc");
    EXPECT_EQ(icap_scan_body(e, g_request), TVX_RES_FAILED);
    EXPECT_TRUE(logged("File is infected and cannot be cured!: report\n"));
    EXPECT_TRUE(logged("Daemon error has occured during check of this file!: report\n"));
}

}  // namespace
