// Quarantine names and the move action: the name built from the URL within
// the path and name limits, once per request, and the file moved only into
// the quarantine directory, with the configured mode.
#include "request/quarantine.h"

#include <cerrno>
#include <stdexcept>
#include <sys/stat.h>

#include "scan/tvx_action.h"
#include "scan_fixture.h"

using namespace scan_test;

namespace {

class quarantine_test : public scan_fixture {
protected:
    std::string qdir() const { return dir / "quarantine"; }
};

TEST_F(quarantine_test, NameIsTheDirectoryAndTheUrlWithSlashesReplaced)
{
    strcpy(g_request.url, "http://host.test/a/b.zip?x=1");
    EXPECT_EQ(quarantine_name(g_request, g_config.quarantine()), qdir() + "/http:||host.test|a|b.zip?x=1");
    EXPECT_EQ(quarantine_file_name(g_request, g_config.quarantine()), "http:||host.test|a|b.zip?x=1");
    EXPECT_EQ(quarantine_name_check(g_request, g_config.quarantine()), 0);

    // Built once per request; a new request builds it again.
    strcpy(g_request.url, "http://other.test/");
    EXPECT_EQ(quarantine_file_name(g_request, g_config.quarantine()), "http:||host.test|a|b.zip?x=1");
    icap_request_reset(g_request);
    strcpy(g_request.url, "u");
    g_config.PathToQuarantine = qdir() + "/";
    EXPECT_EQ(quarantine_name(g_request, g_config.quarantine()), qdir() + "/u");
}

TEST_F(quarantine_test, NameIsCutToThePathLimit)
{
    std::string url(5000, 'u');
    strcpy(g_request.url, url.c_str());
    g_config.quarantine_path_max = 1024;
    EXPECT_EQ(quarantine_name(g_request, g_config.quarantine()).size(), 1023u);
    EXPECT_EQ(quarantine_file_name(g_request, g_config.quarantine()).size(), 1023u - qdir().size() - 1);
    // Longer than the name limit: not a name to move a file to.
    EXPECT_EQ(quarantine_name_check(g_request, g_config.quarantine()), ENAMETOOLONG);

    icap_request_reset(g_request);
    strcpy(g_request.url, "abc");
    g_config.quarantine_path_max = qdir().size() + 3;  // room for "/" and one character
    EXPECT_EQ(quarantine_name(g_request, g_config.quarantine()), qdir() + "/a");
}

TEST_F(quarantine_test, DirectoryBeyondThePathLimitIsAnError)
{
    g_config.quarantine_path_max = qdir().size() + 1;  // the "/" leaves no room
    try {
        quarantine_name(g_request, g_config.quarantine());
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "FileWithPath::trunc(): truncated file name will be too short");
    }
}

TEST_F(quarantine_test, NamesThatLeaveTheDirectoryAreRefused)
{
    for (const char *url : {"", ".", ".."}) {
        SCOPED_TRACE(url);
        icap_request_reset(g_request);
        strcpy(g_request.url, url);
        EXPECT_EQ(quarantine_name_check(g_request, g_config.quarantine()), EINVAL);
    }
    icap_request_reset(g_request);
    strcpy(g_request.url, "...");
    EXPECT_EQ(quarantine_name_check(g_request, g_config.quarantine()), 0);
    icap_request_reset(g_request);
    g_config.quarantine_name_max = 5;
    strcpy(g_request.url, "123456");
    EXPECT_EQ(quarantine_name_check(g_request, g_config.quarantine()), ENAMETOOLONG);
}

}  // namespace
