// Case-insensitive search and size texts.
#include <gtest/gtest.h>

#include "util/text.h"

TEST(TextSearch, IgnoresLetterCase)
{
    const char *text = "Content-Type: text/html";
    struct { const char *pattern; long at; } cases[] = {
        {"content-type:", 0}, {"TEXT/", 14}, {"html", 19}, {"", 0}, {"xml", -1}, {"text/htmlx", -1},
    };
    for (auto &c : cases) {
        const char *p = tvx_strcasestr(text, c.pattern);
        EXPECT_EQ(p ? p - text : -1, c.at) << c.pattern;
    }
    EXPECT_EQ(tvx_strcasestr("", "a"), nullptr);
}

TEST(SizeText, Units)
{
    struct { const char *text; int rc; unsigned long size; } cases[] = {
        {"10M", 200, 10485760}, {"10m", 200, 10485760}, {"512", 200, 524288}, {"3K", 200, 3072},
        {"7b", 200, 7}, {"7B", 200, 7}, {"INF", 200, 0}, {"inf", 200, 0}, {"0", 200, 0},
        {"5x", 0, 0}, {"", 0, 0}, {"M", 0, 0}, {"-5k", 0, 0}, {" 5k", 0, 0},
        {"99999999999999999999", 0, 0}, {"18014398509481984k", 0, 0},
    };
    for (auto &c : cases) {
        unsigned long size = 12345;
        EXPECT_EQ(tvx_size_text(c.text, &size), c.rc) << c.text;
        if (c.rc == 200) {
            EXPECT_EQ(size, c.size) << c.text;
        }
    }
}
