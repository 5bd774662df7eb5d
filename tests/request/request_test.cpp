// The request reset empties every per-request value and the release of the
// entity list deletes every temporary body file it owns.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "request/entity.h"
#include "request/request.h"
#include "support/support.h"

TEST(RequestState, ReleaseDeletesTempFilesAndResetClearsEverything)
{
    tvx_test::temp_dir dir;
    icap_request rq;
    icap_request_reset(rq);
    std::string paths[2] = {dir / "req-body1-a", dir / "res-body1-b"};
    for (const std::string &p : paths) {
        icap_entity e;
        e.name = "res-body";
        e.path = p;
        e.fd = open(p.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(e.fd, 0);
        rq.entities.push_back(e);
    }
    rq.current_temp_file = paths[1];
    strcpy(rq.url, "http://example/");
    rq.preview = 0;
    rq.allow_204 = true;
    rq.viruses_list.push_back({"EICAR", 1});
    rq.greport.push_back("line");

    icap_request_reset(rq);

    EXPECT_TRUE(tvx_test::list_dir(dir.path()).empty());
    EXPECT_TRUE(rq.entities.empty());
    EXPECT_TRUE(rq.current_temp_file.empty());
    EXPECT_STREQ(rq.url, "");
    EXPECT_EQ(rq.preview, -1);
    EXPECT_FALSE(rq.allow_204);
    EXPECT_TRUE(rq.viruses_list.empty());
    EXPECT_TRUE(rq.greport.empty());
    EXPECT_EQ(rq.content_length, -1);
    EXPECT_EQ(rq.request_time, -1);
}

TEST(RequestState, SignalHandlersSeeTheCurrentTempFileOfTheProcessRequest)
{
    icap_request_reset(g_request);
    EXPECT_EQ(request_published_temp_file(), nullptr);

    // Names replace each other whole, however long the one before was.
    const std::string long_name = "/var/tavex/cache/res-body" + std::string(300, '7') + "-aaaaaa";
    const std::string names[] = {long_name, "/c/req-body1-b", "/c/res-body1-c"};
    for (const std::string &n : names) {
        icap_request_set_temp_file(g_request, n);
        ASSERT_NE(request_published_temp_file(), nullptr);
        EXPECT_EQ(std::string(request_published_temp_file()), n);
        EXPECT_EQ(g_request.current_temp_file, n);
    }

    // Another request's file is none of the handlers' business.
    icap_request other;
    icap_request_reset(other);
    icap_request_set_temp_file(other, "/c/other");
    EXPECT_EQ(std::string(request_published_temp_file()), names[2]);

    icap_request_reset(g_request);
    EXPECT_EQ(request_published_temp_file(), nullptr);
    EXPECT_TRUE(g_request.current_temp_file.empty());
}
