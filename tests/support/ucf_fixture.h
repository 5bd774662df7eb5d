// Test helper: URL-category files for tests, compiled from list texts by
// the real ucf-build, or made byte by byte (odd type strings, broken
// tables) and signed with the repository's test key.
#ifndef TVX_TESTS_SUPPORT_UCF_FIXTURE_H
#define TVX_TESTS_SUPPORT_UCF_FIXTURE_H

#include <string>
#include <vector>

namespace tvx_test {

// Runs ucf-build for one category into path: urls and substrings are the
// texts of the two list kinds ("" for none). Fails the test when the tool
// fails.
void ucf_compile(const std::string &path, const std::string &category, const std::string &urls,
                 const std::string &substrings = "", bool white = false);

// A file of the given type string whose sections hold the given bytes (an
// empty string leaves a section out), signed with the test key.
std::vector<unsigned char> ucf_image(const std::string &type, const std::vector<std::string> &sections);

// Signs bytes again after a test changed them: the last 40 bytes become the
// signature of the rest.
void ucf_resign(std::vector<unsigned char> &bytes);

void write_bytes(const std::string &path, const std::vector<unsigned char> &bytes);
std::vector<unsigned char> read_bytes(const std::string &path);

}  // namespace tvx_test

#endif
