// Category files for tests: the tool for list texts, the tool's signer for
// hand-made bytes. Nothing here decides what a file means.
#include "support/ucf_fixture.h"

#include <gtest/gtest.h>

#include "policy/ucf_format.h"
#include "policy/ucf_key.h"
#include "support/support.h"
#include "ucf-build/ucfb_dsa.h"

namespace tvx_test {

namespace {

const std::string test_key = std::string(TVX_SOURCE_DIR) + "/etc/keys/ucf-test-key.private";

}  // namespace

void ucf_compile(const std::string &path, const std::string &category, const std::string &urls,
                 const std::string &substrings, bool white)
{
    temp_dir lists;
    std::vector<std::string> argv = {TVX_UCF_BUILD_PATH, "--category", category, "--key", test_key, "-o", path};
    if (white)
        argv.push_back("--white");
    if (!urls.empty()) {
        write_file(lists / "urls", urls);
        argv.insert(argv.end(), {"--urls", lists / "urls"});
    }
    if (!substrings.empty()) {
        write_file(lists / "subs", substrings);
        argv.insert(argv.end(), {"--substrings", lists / "subs"});
    }
    unlink(path.c_str());
    run_result r = run_program(argv);
    ASSERT_EQ(r.status, 0) << r.err;
}

void ucf_resign(std::vector<unsigned char> &bytes)
{
    ASSERT_GE(bytes.size(), UCF_SIGNATURE_SIZE);
    ucf_dsa_key text;
    std::string err;
    ASSERT_TRUE(ucf_key_parse(read_file(test_key), text, err)) << err;
    ucfb_dsa key;
    ASSERT_EQ(ucfb_dsa_from_text(text, true, key, err), UCFB_OK) << err;
    ASSERT_EQ(ucfb_dsa_sign(key, bytes.data(), bytes.size() - UCF_SIGNATURE_SIZE,
                            bytes.data() + bytes.size() - UCF_SIGNATURE_SIZE, err),
              UCFB_OK)
        << err;
}

std::vector<unsigned char> ucf_image(const std::string &type, const std::vector<std::string> &sections)
{
    // Table: one entry per section and an end mark.
    const size_t n = sections.size() + 1;
    std::vector<unsigned char> b(ucf_header_size(n), 0);
    memcpy(b.data(), ucf_magic, 4);
    ucf_put32(b.data() + 4, static_cast<uint32_t>(n));
    b.insert(b.end(), type.begin(), type.end());
    b.push_back(0);
    for (size_t i = 0; i < sections.size(); ++i) {
        if (sections[i].empty())
            continue;
        ucf_put32(b.data() + UCF_TABLE_OFFSET + 4 * i, static_cast<uint32_t>(b.size()));
        b.insert(b.end(), sections[i].begin(), sections[i].end());
    }
    ucf_put32(b.data() + UCF_TABLE_OFFSET + 4 * sections.size(), static_cast<uint32_t>(b.size()));
    b.resize(b.size() + UCF_SIGNATURE_SIZE, 0);
    ucf_resign(b);
    return b;
}

void write_bytes(const std::string &path, const std::vector<unsigned char> &bytes)
{
    write_file(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<unsigned char> read_bytes(const std::string &path)
{
    std::string s = read_file(path);
    return std::vector<unsigned char>(s.begin(), s.end());
}

}  // namespace tvx_test
