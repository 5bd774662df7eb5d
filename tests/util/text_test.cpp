// Case-insensitive search, size texts, URL decoding and MD5.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "util/md5.h"
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

TEST(url_decode, escapes_plus_and_bounds)
{
    struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"a%41b", "aAb"},   {"%4a%4A", "JJ"},  {"%4G", "%4G"},     {"50%", "50%"},
        {"5%4", "5%4"},     {"a+b", "a b"},    {"%2B", "+"},       {"%%41", "%A"},
        {"", ""},
    };
    for (const auto &c : cases) {
        char buf[64];
        size_t n = tvx_url_decode(c.in, strlen(c.in), buf, sizeof buf);
        EXPECT_STREQ(buf, c.out) << c.in;
        EXPECT_EQ(n, strlen(c.out));
    }
    // A full buffer cuts the text and stays terminated; an escape is never
    // read past the given length.
    char small[4];
    EXPECT_EQ(tvx_url_decode("abcdef", 6, small, sizeof small), 3u);
    EXPECT_STREQ(small, "abc");
    char buf[8];
    tvx_url_decode("x%41", 2, buf, sizeof buf);
    EXPECT_STREQ(buf, "x%");
}

TEST(md5, rfc1321_vectors_and_copies_of_a_running_state)
{
    struct {
        std::string in;
        const char *hex;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    auto hex = [](const unsigned char *d) {
        char s[33];
        for (int i = 0; i < 16; ++i)
            snprintf(s + 2 * i, 3, "%02x", d[i]);
        return std::string(s);
    };
    for (const auto &c : cases) {
        unsigned char d[TVX_MD5_SIZE];
        tvx_md5_of(c.in.data(), c.in.size(), d);
        EXPECT_EQ(hex(d), c.hex) << c.in;
        // Fed in uneven pieces, finished in between: the same digest.
        tvx_md5 m;
        for (size_t i = 0; i < c.in.size(); i += 7) {
            m.update(c.in.data() + i, std::min<size_t>(7, c.in.size() - i));
            m.digest(d);
        }
        m.digest(d);
        EXPECT_EQ(hex(d), c.hex) << c.in;
    }
}
