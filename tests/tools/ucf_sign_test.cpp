// ucf-build's signer against the daemon's verifier, in-process: messages
// are varied until r and s have each come out with a leading zero byte and
// with the top bit set, and every signature must verify while a changed
// message must not. Also the path bound no list line can reach.
#include <gtest/gtest.h>

#include <string>

#include "policy/ucf_format.h"
#include "policy/ucf_signature.h"
#include "ucf-build/ucfb_dsa.h"
#include "ucf-build/ucfb_entry.h"
#include "ucf-build/ucfb_keyfile.h"

namespace {

const std::string k_test_private = std::string(TVX_SOURCE_DIR) + "/etc/keys/ucf-test-key.private";

TEST(UcfSign, EveryShapeOfRAndSVerifies)
{
    ucf_dsa_key text;
    std::string err;
    ASSERT_EQ(ucfb_key_read(k_test_private, text, err), UCFB_OK) << err;
    ucfb_dsa key;
    ASSERT_EQ(ucfb_dsa_from_text(text, true, key, err), UCFB_OK) << err;
    ucf_verifier verifier(text);
    ASSERT_TRUE(verifier.ok());

    // The shapes the DER re-encoding of the verifier treats differently.
    enum { R_ZERO, S_ZERO, R_HIGH, S_HIGH, SHAPES };
    const char *names[SHAPES] = {"r with a leading zero byte", "s with a leading zero byte", "r with its top bit set",
                                 "s with its top bit set"};
    int seen[SHAPES] = {};
    const int limit = 20000;  // a leading zero byte comes about once in 232 signatures
    int i = 0;
    for (; i < limit && !(seen[R_ZERO] && seen[S_ZERO] && seen[R_HIGH] && seen[S_HIGH]); ++i) {
        std::string file = "UCF message " + std::to_string(i);
        file.resize(file.size() + UCF_SIGNATURE_SIZE);
        unsigned char *data = reinterpret_cast<unsigned char *>(&file[0]);
        size_t n = file.size() - UCF_SIGNATURE_SIZE;
        ASSERT_EQ(ucfb_dsa_sign(key, data, n, data + n, err), UCFB_OK) << err;
        const unsigned char *r = data + n, *s = r + UCF_SIGNATURE_HALF;
        bool shape[SHAPES] = {r[0] == 0, s[0] == 0, (r[0] & 0x80) != 0, (s[0] & 0x80) != 0};
        for (int k = 0; k < SHAPES; ++k)
            seen[k] += shape[k];
        ASSERT_TRUE(verifier.verify(data, file.size())) << "message " << i;
        data[0] ^= 1;
        ASSERT_FALSE(verifier.verify(data, file.size())) << "changed message " << i;
    }
    for (int k = 0; k < SHAPES; ++k)
        EXPECT_GT(seen[k], 0) << names[k] << " did not occur in " << i << " signatures";
}

// The same message signed twice gives two signatures (k is drawn anew each
// time), and both verify.
TEST(UcfSign, FreshKForEverySignature)
{
    ucf_dsa_key text;
    std::string err;
    ASSERT_EQ(ucfb_key_read(k_test_private, text, err), UCFB_OK) << err;
    ucfb_dsa key;
    ASSERT_EQ(ucfb_dsa_from_text(text, true, key, err), UCFB_OK) << err;
    ucf_verifier verifier(text);
    std::string a(64 + UCF_SIGNATURE_SIZE, 'm'), b = a;
    unsigned char *pa = reinterpret_cast<unsigned char *>(&a[0]), *pb = reinterpret_cast<unsigned char *>(&b[0]);
    ASSERT_EQ(ucfb_dsa_sign(key, pa, 64, pa + 64, err), UCFB_OK);
    ASSERT_EQ(ucfb_dsa_sign(key, pb, 64, pb + 64, err), UCFB_OK);
    EXPECT_NE(a, b);
    EXPECT_TRUE(verifier.verify(pa, a.size()));
    EXPECT_TRUE(verifier.verify(pb, b.size()));
}

// A resource length is 16 bits: 65534 bytes are a key, 65535 are not.
TEST(UcfEntry, PathLengthBound)
{
    const std::pair<size_t, ucfb_entry_rc> rows[] = {
        {65534, UCFB_ENTRY_OK},
        {65535, UCFB_ENTRY_PATH_TOO_LONG},
        {100000, UCFB_ENTRY_PATH_TOO_LONG},
    };
    for (auto [length, rc] : rows) {
        std::string line = "example.com/" + std::string(length - 1, 'p');
        ucfb_entry e;
        EXPECT_EQ(ucfb_entry_parse(line, e), rc) << length;
        if (rc == UCFB_ENTRY_OK) {
            EXPECT_EQ(e.path.size(), length);
            EXPECT_EQ(e.level, 2);
            EXPECT_EQ(e.base, "example.com");
        }
    }
}

}  // namespace
