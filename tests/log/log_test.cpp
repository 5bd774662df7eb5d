// Level filtering, the file-line format with its own conversions, log-file
// truncation and the failure message of LogFile, read back from real files.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "log/log.h"
#include "log/process_id.h"

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class LogFileTest : public ::testing::Test {
protected:
    std::string path;
    void SetUp() override
    {
        char tmpl[] = "/tmp/tvx-log-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path = tmpl;
        log_set_destination(path);
        log_set_level_mask(1);
    }
    void TearDown() override
    {
        log_close();
        log_set_level_mask(1);
        unlink(path.c_str());
    }
};

TEST(LogFormat, LevelNames)
{
    struct { unsigned level; const char *name; } cases[] = {
        {0, "ERROR"}, {128, "WARN"}, {129, "WARN"}, {1, "INFO"}, {3, "INFO"},
        {2, "DEBUG"}, {4, "DEBUG"}, {16, "DEBUG"}, {32, "DEBUG"},
    };
    for (auto &c : cases)
        EXPECT_STREQ(log_level_name(c.level), c.name) << c.level;
}

TEST(LogFormat, OwnConversionSet)
{
    struct { std::string out; std::string want; } cases[] = {
        {format_log_line("a %i b\n", -42), "a -42 b\n"},
        {format_log_line("%u\n", 4000000000u), "4000000000\n"},
        {format_log_line("code=%x\n", 0x8017u), "code=0x8017\n"},
        {format_log_line("[%s]\n", "text"), "[text]\n"},
        {format_log_line("%li %i\n", 5l, 7), "li 7\n"},
        {format_log_line("got %li bytes %s\n", 9l, "x"), "got li bytes x\n"},
        {format_log_line("100%%\n"), "100%\n"},
        {format_log_line("%5d\n"), "5d\n"},
    };
    for (auto &c : cases) {
        size_t colon = c.out.find("): ");
        ASSERT_NE(colon, std::string::npos) << c.out;
        EXPECT_EQ(c.out.substr(colon + 3), c.want);
    }
}

TEST(LogFormat, PrefixHasAsctimeProgramAndPid)
{
    std::string line = format_log_line("x\n");
    std::regex re("^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} "
                  "tavex-icapd \\(" + std::to_string(getpid()) + "\\): x\n$");
    EXPECT_TRUE(std::regex_match(line, re)) << line;
}

TEST(LogFormat, ForkedChildLogsItsOwnPid)
{
    // The parent has cached its id before the fork; the child must not
    // print it.
    ASSERT_EQ(tvx_process_id(), getpid());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string line = format_log_line("x");
        std::string want = "tavex-icapd (" + std::to_string(getpid()) + "): x";
        bool ok = tvx_process_id() == getpid() && line.size() >= want.size() &&
                  line.compare(line.size() - want.size(), want.size(), want) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(tvx_process_id(), getpid());
}

TEST(LogFormat, LineIsCutAtTenThousandBytes)
{
    std::string big(20000, 'a');
    std::string line = format_log_line("%s\n", big.c_str());
    EXPECT_EQ(line.size(), 10000u);
}

TEST_F(LogFileTest, FileLineFormat)
{
    icapd_log(1, "Start %s ver %i\n", "x", 6);
    std::string s = read_file(path);
    std::regex re("^.{24} tavex-icapd \\([0-9]+\\): INFO Start x ver 6\n$");
    EXPECT_TRUE(std::regex_match(s, re)) << s;
}

TEST_F(LogFileTest, LevelMaskDecidesWhatIsWritten)
{
    struct { unsigned mask; unsigned level; bool written; } cases[] = {
        {1, 0, true}, {1, 128, true}, {1, 1, true}, {1, 2, false}, {1, 4, false},
        {1, 16, false}, {1, 32, false}, {35, 2, true}, {35, 32, true}, {35, 4, false},
        {34, 1, false}, {0, 128, true}, {0, 0, true}, {0, 1, false},
        {0xFFFFFFFFu, 0, false}, {0xFFFFFFFFu, 128, false},
    };
    for (auto &c : cases) {
        ASSERT_EQ(truncate(path.c_str(), 0), 0);
        log_set_level_mask(c.mask);
        icapd_log(c.level, "m\n");
        EXPECT_EQ(!read_file(path).empty(), c.written) << "mask " << c.mask << " level " << c.level;
    }
}

TEST_F(LogFileTest, LongFormatIsWrittenAsOneLine)
{
    icapd_log(0, "%lu %s\n", 5ul, "z");
    std::string s = read_file(path);
    EXPECT_NE(s.find(": ERROR lu z\n"), std::string::npos) << s;
}

TEST_F(LogFileTest, ClosedLogWritesNothing)
{
    log_close();
    EXPECT_EQ(log_destination(), LOG_DEST_CLOSED);
    icapd_log(0, "lost\n");
    EXPECT_TRUE(read_file(path).empty());
}

TEST_F(LogFileTest, TruncationOnlyAboveLimit)
{
    icapd_log(0, "0123456789\n");
    size_t size = read_file(path).size();
    log_truncate_check(size);  // equal: kept
    EXPECT_EQ(read_file(path).size(), size);
    log_truncate_check(0);  // disabled
    EXPECT_EQ(read_file(path).size(), size);
    log_truncate_check(size - 1);
    EXPECT_TRUE(read_file(path).empty());
    icapd_log(0, "after\n");  // O_APPEND writes at the new end, no hole before it
    std::string s = read_file(path);
    EXPECT_EQ(s.find('\0'), std::string::npos);
    EXPECT_NE(s.find("ERROR after\n"), std::string::npos);
}

TEST(LogDestination, SyslogWordInAnyCase)
{
    log_set_destination("SysLog");
    EXPECT_EQ(log_destination(), LOG_DEST_SYSLOG);
    log_close();
    EXPECT_EQ(log_destination(), LOG_DEST_CLOSED);
}

TEST(LogDestination, UnopenablePathFailsWithItsMessage)
{
    try {
        log_set_destination("/nonexistent-dir/x.log");
        FAIL() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "failed to open logfile [/nonexistent-dir/x.log]: No such file or directory");
    }
    EXPECT_EQ(log_destination(), LOG_DEST_CLOSED);
}

}  // namespace
