// The verdict table driven end to end through tavexd --code: for each
// response code the row that wins, the action carried out on the body, the
// result, the action name, type, resolution and the action line.
#include "scan/tvx_verdict.h"

#include "scan/tvx_scan.h"
#include "scan_fixture.h"
#include "tavexd/tvd_eicar.h"

using namespace scan_test;

namespace {

class verdict_table : public scan_fixture {};

const int UNTOUCHED = -7;

struct verdict_case {
    const char *code;
    int result;
    const char *action_name;  // nullptr: none set
    int type;
    int resolution;
    const char *line;  // the action line, or the clean line
    bool body_kept;    // the body is sent as it was
};

// Categories alternate between pass and truncate so that each row's action
// shows in the body as well as in the log.
void configure_categories()
{
    g_config.Infected = ACTION_PASS;  // cure: the cure bit is in the options
    g_config.Incurable = ACTION_TRUNCATE;
    g_config.Suspicious = ACTION_TRUNCATE;
    g_config.ArchiveRestriction = ACTION_PASS;
    g_config.DaemonError = ACTION_TRUNCATE;
    g_config.SkipObject = ACTION_PASS;
    g_config.Adware = ACTION_TRUNCATE;
    g_config.Dialers = ACTION_PASS;
    g_config.Jokes = ACTION_TRUNCATE;
    g_config.Riskware = ACTION_PASS;
    g_config.Hacktools = ACTION_TRUNCATE;
}

TEST_F(verdict_table, ResponseCodesSelectTheirRowInTableOrder)
{
    const verdict_case cases[] = {
        {"0x120", 3, "Cure", 0, 1, "File is cured from known virus!: pass\n", true},
        {"0x80080", 3, "Cure", 0, 1, "File is cured from known virus!: pass\n", false},
        {"0x20", 3, "Truncate", 0, 0, "File is infected and cannot be cured!: truncate\n", false},
        {"0x80|0x400000", 3, "Truncate", 0, 0, "File is infected and cannot be cured!: truncate\n", false},
        {"0x40|0x400000", 3, "Truncate", 0, 0, "File is cured from an unknown virus!: truncate\n", false},
        {"0x2000", 3, "Pass", 2, 2, "Archive restriction!: pass\n", true},
        {"0x40000|0x10", 3, "Pass", 2, 2, "Archive restriction!: pass\n", true},
        {"0x8000", 3, "Truncate", 2, 2, "Daemon error has occured during check of this file!: truncate\n", false},
        {"0x1|0x200", 3, "Truncate", 2, 2, "Daemon error has occured during check of this file!: truncate\n", false},
        {"0x1000", 3, "Pass", 2, 2, "Skip object error has occured during check of this file!: pass\n", true},
        {"0x8|0x2000000", 3, "Pass", 2, 2, "Skip object error has occured during check of this file!: pass\n", true},
        {"0x400000", 3, "Truncate", 0, 0, "This is adware program!: truncate\n", false},
        {"0x800000", 3, "Pass", 0, 0, "This is dialer program!: pass\n", true},
        {"0x1000000", 3, "Truncate", 0, 0, "This is joke program!: truncate\n", false},
        {"0x2000000", 3, "Pass", 0, 0, "This is riskware program!: pass\n", true},
        {"0x4000000", 3, "Truncate", 0, 0, "This is hacktool program!: truncate\n", false},
        {"0x100000", 200, nullptr, UNTOUCHED, UNTOUCHED, "url:[http://example.test/dir/file.bin]; size=1k - ok\n",
         true},
        {"0", 200, nullptr, UNTOUCHED, UNTOUCHED, "url:[http://example.test/dir/file.bin]; size=1k - ok\n", true},
    };
    for (bool local_scan : {true, false}) {
        for (const verdict_case &c : cases) {
            SCOPED_TRACE(std::string(c.code) + (local_scan ? " path only" : " whole file"));
            tvx_test::tavexd_process d;
            ASSERT_TRUE(d.start({"--code", c.code}));
            configure_categories();
            g_config.tavex_addresses = {local_addr(d.socket_path())};
            g_config.LocalScan = local_scan;
            g_tvx.local_scan = -1;
            icap_request_reset(g_request);
            strcpy(g_request.url, "http://example.test/dir/file.bin");
            g_request.infection_type = g_request.infection_resolution = UNTOUCHED;
            log.reset();  // one capture at a time: closing one ends the log
            log.reset(new log_capture(0xFF));

            icap_entity &e = add_body("harmless body");
            EXPECT_EQ(scan(e), c.result);
            if (c.action_name)
                EXPECT_STREQ(g_request.action_name, c.action_name);
            else
                EXPECT_EQ(g_request.action_name, nullptr);
            EXPECT_EQ(g_request.infection_type, c.type);
            EXPECT_EQ(g_request.infection_resolution, c.resolution);
            EXPECT_TRUE(logged(c.line)) << log->text();
            std::string expected = c.body_kept ? "harmless body" : "";
            EXPECT_EQ(tvx_test::read_file(e.path), expected);
            if (c.result == 3) {
                EXPECT_EQ(e.size, expected.size());
            }
            close_fd(g_tvx.daemon_fd);
        }
    }
}

TEST_F(verdict_table, CleanLineNamesTheClientWhenKnown)
{
    icap_entity &e = add_body(std::string(5000, 'z'));
    strcpy(g_request.client_ip, "192.0.2.7");
    EXPECT_EQ(verdict(0x100000, e), 200);
    EXPECT_TRUE(logged("url:[http://example.test/dir/file.bin]; client_ip:[192.0.2.7]; size=5k - ok\n"));
}

TEST_F(verdict_table, CuredOrDeletedWithoutThreatSendsTheChangedBody)
{
    // The daemon answers "cured" without naming a known threat: no row
    // applies, but the body it sent back is what must go out, with its
    // new size.
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start({"--code", "0x100"}));
    g_config.tavex_addresses = {local_addr(d.socket_path())};
    g_config.LocalScan = false;
    icap_entity &e = add_body("<" + tvd_eicar() + ">");
    EXPECT_EQ(scan(e), 3);
    EXPECT_EQ(tvx_test::read_file(e.path), "<>");
    EXPECT_EQ(e.size, 2u);
}

TEST_F(verdict_table, WrongActionCodeFails)
{
    icap_entity &e = add_body("abc");
    g_config.Dialers = 9;
    g_config.DaemonError = 9;
    g_config.tavex_addresses = {local_addr(dir / "down.sock")};
    EXPECT_EQ(verdict(0x800000, e), 0);
    EXPECT_TRUE(logged("tvx_make_action_on_file: wrong type=9\n"));
    EXPECT_FALSE(logged("This is dialer program!"));
    // A scan whose daemon-error handling fails too returns 0.
    EXPECT_EQ(scan(e), 0);
}

TEST_F(verdict_table, PassKeepsAnEarlierActionName)
{
    icap_entity &e = add_body("abc");
    g_config.Riskware = ACTION_PASS;
    g_request.action_name = "Report";
    EXPECT_EQ(verdict(0x2000000, e), 3);
    EXPECT_STREQ(g_request.action_name, "Report");
}

TEST_F(verdict_table, UnopenableFilesFailTheActions)
{
    // An entity without a descriptor whose file has gone.
    icap_entity &e = add_body("abc");
    close(e.fd);
    e.fd = -1;
    e.path = dir / "gone/body";
    g_config.Riskware = ACTION_PASS;
    EXPECT_EQ(verdict(0x2000000, e), 0);
    EXPECT_TRUE(logged("tvx_pass_file: can not open temp file " + e.path + ": No such file or directory\n"));
    g_config.Riskware = ACTION_TRUNCATE;
    EXPECT_EQ(verdict(0x2000000, e), 0);
    EXPECT_TRUE(logged("can not open temp file for truncate " + e.path + ": No such file or directory\n"));
}

}  // namespace

namespace {

// Infected names the action for infected objects. With cure, objects the
// daemon could not cure take the Incurable action; with any other word no
// cure is asked for and infected objects take that word's action.
TEST_F(verdict_table, InfectedActionAppliesWhenNoCureIsAsked)
{
    tvx_test::tavexd_process d;
    ASSERT_TRUE(d.start());
    g_config.tavex_addresses = {local_addr(d.socket_path())};
    g_config.LocalScan = false;
    struct {
        const char *what;
        bool cure;
        int infected;
        int incurable;
        const char *action_name;
        std::string body;
    } cases[] = {
        {"cure asked, cured", true, ACTION_PASS, ACTION_TRUNCATE, "Cure", "ab"},
        {"no cure, infected truncates", false, ACTION_TRUNCATE, ACTION_REPORT, "Truncate", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        icap_request_reset(g_request);
        g_config.Infected = c.infected;
        g_config.Incurable = c.incurable;
        g_config.scan_options = c.cure ? OPTIONS_DEFAULT : (OPTIONS_DEFAULT & ~0x40u);
        icap_entity &e = add_body("a" + tvd_eicar() + "b");
        EXPECT_EQ(scan(e), 3);
        EXPECT_STREQ(g_request.action_name, c.action_name);
        EXPECT_EQ(tvx_test::read_file(e.path), c.body);
        close_fd(g_tvx.daemon_fd);
    }
    // A cure asked for but impossible: the Incurable action.
    tvx_test::tavexd_process stubborn;
    ASSERT_TRUE(stubborn.start({"--code", "0x20"}));
    g_config.tavex_addresses = {local_addr(stubborn.socket_path())};
    icap_request_reset(g_request);
    g_config.Infected = ACTION_PASS;
    g_config.Incurable = ACTION_TRUNCATE;
    g_config.scan_options = OPTIONS_DEFAULT;
    icap_entity &e = add_body("x");
    EXPECT_EQ(scan(e), 3);
    EXPECT_STREQ(g_request.action_name, "Truncate");
    EXPECT_TRUE(logged("File is infected and cannot be cured!: truncate\n"));
}

}  // namespace
