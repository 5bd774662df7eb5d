// The request reset empties every per-request value and the release of the
// entity list deletes every temporary body file it owns.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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
    greport.push_back("line");

    icap_request_reset(rq);

    EXPECT_TRUE(tvx_test::list_dir(dir.path()).empty());
    EXPECT_TRUE(rq.entities.empty());
    EXPECT_TRUE(rq.current_temp_file.empty());
    EXPECT_STREQ(rq.url, "");
    EXPECT_EQ(rq.preview, -1);
    EXPECT_FALSE(rq.allow_204);
    EXPECT_TRUE(rq.viruses_list.empty());
    EXPECT_TRUE(greport.empty());
    EXPECT_EQ(rq.content_length, -1);
    EXPECT_EQ(rq.request_time, -1);
}
