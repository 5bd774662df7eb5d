// The command line of tavex-icapd through the real binary: exact standard
// output, standard error and exit status for every argument form, and the
// configuration check mode.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "support/support.h"

using namespace tvx_test;

namespace {

const char usage[] =
    "Tavex (R) icap daemon\n"
    "  -f FILE_NAME|AGENT_SOCKET  -  set new filename for config file or agent socket\n"
    "  -v|--version  -  output version information and exit\n"
    "  -h|--help     -  display this help and exit\n"
    "  -m            -  set to work with Tavex Monitor\n"
    "  --check-only  -  perform configuration check and exit\n"
    "  -d            -  extra debug\n";

const std::regex version_line(
    "Tavex \\(R\\) icap daemon, version 6\\.0\\.0\\.2 \\([A-Z][a-z][a-z] [ 1-3][0-9] [0-9]{4}\\)\n");

run_result run(std::vector<std::string> args)
{
    args.insert(args.begin(), TVX_DAEMON_PATH);
    return run_program(args, "", 30);
}

struct cmd_case {
    std::vector<std::string> args;
    int status;
    std::string out;  // "VERSION" stands for the version line
    std::string err;
};

}  // namespace

TEST(command_line, arguments_print_and_exit_exactly)
{
    const std::string missing = "/nonexistent/tavex-icapd.ini";
    const cmd_case cases[] = {
        {{"-v"}, 0, "VERSION", ""},
        {{"--version"}, 0, "VERSION", ""},
        {{"-f", missing, "-v"}, 0, "VERSION", ""},  // the file is never loaded
        {{"-m", "-d", "--version"}, 0, "VERSION", ""},
        {{"-h"}, 0, usage, ""},
        {{"--help", "-x", "-f"}, 0, usage, ""},  // nothing after -h is examined
        {{"-f"}, 1, "", "After -f you must set filename or agent address\n"},
        {{"-m", "-f"}, 1, "", "After -f you must set filename or agent address\n"},
        {{"-x"}, 1, "", "Unknown parameter -x\n"},
        {{"-x", "-v"}, 1, "", "Unknown parameter -x\n"},
        {{"-V"}, 1, "", "Unknown parameter -V\n"},
        {{"--check-only=yes"}, 1, "", "Unknown parameter --check-only=yes\n"},
        {{""}, 1, "", "Unknown parameter \n"},
    };
    for (const cmd_case &c : cases) {
        std::string label;
        for (const std::string &a : c.args)
            label += "[" + a + "]";
        SCOPED_TRACE(label);
        run_result r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        if (c.out == "VERSION")
            EXPECT_TRUE(std::regex_match(r.out, version_line)) << r.out;
        else
            EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(command_line, check_only_accepts_a_valid_file_without_opening_anything)
{
    temp_dir dir;
    int port = free_tcp_port();
    write_file(dir / "c.ini", base_config(dir.path(), port));
    run_result r = run({"--check-only", "-f", dir / "c.ini"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Options OK\n");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(file_exists(dir / "icapd.pid"));
    EXPECT_EQ(read_file(dir / "icapd.log").find("Start Tavex"), std::string::npos);
}

TEST(command_line, extra_debug_echoes_every_log_call_to_stderr)
{
    temp_dir dir;
    write_file(dir / "c.ini", base_config(dir.path(), free_tcp_port()));
    run_result r = run({"-d", "--check-only", "-f", dir / "c.ini"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Options OK\n");
    // A level-2 line, below the configured mask, still reaches stderr.
    EXPECT_NE(r.err.find("init: tavex-icapd starting\n"), std::string::npos) << r.err;
}

TEST(command_line, check_only_reports_a_missing_file)
{
    run_result r = run({"--check-only", "-f", "/nonexistent/dir/x.ini"});
    const std::string msg =
        "Error in opening ini file /nonexistent/dir/x.ini for reading: No such file or directory\n";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Options ERROR\n");
    // Once from the loader, once from the check.
    EXPECT_EQ(r.err, msg + msg);
}

TEST(command_line, check_only_reports_a_bad_file)
{
    temp_dir dir;
    write_file(dir / "c.ini", base_config(dir.path(), 1344) + "Timeout = soon\n");
    run_result r = run({"-f", dir / "c.ini", "--check-only"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Options ERROR\n");
    // The bad value is on line 10; the assignment completes with its line end.
    EXPECT_EQ(r.err, "Error while parsing config file: parser error at line 11: Error parsing digital_t\n");
}

TEST(command_line, missing_file_without_check_only_exits_1)
{
    run_result r = run({"-m", "-f", "/nonexistent/x.ini"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error in opening ini file /nonexistent/x.ini for reading: No such file or directory\n");
}

TEST(command_line, example_configuration_passes_the_check)
{
    // The example names its lists under the installed configuration
    // directory; the copy points at the source tree's etc/ instead.
    std::string text = read_file(std::string(TVX_SOURCE_DIR) + "/etc/tavex-icapd.ini");
    ASSERT_FALSE(text.empty());
    const std::string installed = "/usr/local/etc/tavex/", source = std::string(TVX_SOURCE_DIR) + "/etc/";
    for (size_t pos = text.find(installed); pos != std::string::npos; pos = text.find(installed, pos + source.size()))
        text.replace(pos, installed.size(), source);
    temp_dir dir;
    mkdir((dir / "cache").c_str(), 0700);
    // ... and its Cache at a directory of the daemon's own.
    const std::string cache_line = "Cache = /var/tavex/cache/";
    ASSERT_NE(text.find(cache_line), std::string::npos);
    text.replace(text.find(cache_line), cache_line.size(), "Cache = \"" + dir / "cache" + "\"");
    // ... and its category files at an empty directory.
    mkdir((dir / "ucf").c_str(), 0700);
    const std::string ucf_line = "UcfDirectory = /var/tavex/ucf/";
    ASSERT_NE(text.find(ucf_line), std::string::npos);
    text.replace(text.find(ucf_line), ucf_line.size(), "UcfDirectory = \"" + dir / "ucf/" + "\"");
    write_file(dir / "tavex-icapd.ini", text);
    run_result r = run({"--check-only", "-f", dir / "tavex-icapd.ini"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Options OK\n");
    EXPECT_EQ(r.status, 0);
}

// A MIME block with a mistake ends the start-up with the block parser's own
// status, after its log lines (a reload keeps the running rules instead).
TEST(command_line, bad_mime_block_ends_the_start_up_with_its_status)
{
    struct {
        const char *block;
        int status;
        const char *line;
    } cases[] = {
        {"text scan\n", 7, "ERROR Wrong mime syntax\n"},
        {"text scan 10x pass\n", 1, "ERROR in parser mime type text (waiting for size)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.block);
        temp_dir dir;
        write_file(dir / "c.ini", base_config(dir.path(), 1344) + "MimeStart\n" + c.block + "MimeEnd\n");
        run_result r = run({"--check-only", "-f", dir / "c.ini"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(read_file(dir / "icapd.log").find(c.line), std::string::npos) << read_file(dir / "icapd.log");
    }
}
