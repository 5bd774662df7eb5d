// Fuzz target for URL-category files and the URL matcher: an input is a
// URL line followed by the bytes of a category file. The file goes through
// the layout checks a load makes (the signature is not checked, so that
// the fuzzer reaches past it), then the URL, and a few fixed ones, are
// matched against it. Nothing may read outside the file's bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "log/log.h"
#include "policy/ucf_file.h"
#include "policy/ucf_url.h"
#include "util/text.h"

namespace {

const char *const fixed_urls[] = {
    "www.example.com/a/b/c.html?x=1&y=2",
    "10.1.2.3:8080/path/",
    "[2001:db8::1]/x?",
    "a.b.c.d.e.f.g.h/",
    "",
};

void match_url(const UcfFile &file, const char *url, size_t len)
{
    char decoded[10000];
    size_t n = tvx_url_decode(url, len, decoded, sizeof decoded);
    ParsedUrl parsed;
    parsed.parse(decoded, n);
    std::string out;
    file.match(decoded, parsed, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    log_set_level_mask(0);
    const uint8_t *nl = static_cast<const uint8_t *>(memchr(data, '\n', size));
    size_t url_len = nl ? static_cast<size_t>(nl - data) : 0;
    const uint8_t *file_bytes = nl ? nl + 1 : data;
    size_t file_size = size - (nl ? url_len + 1 : 0);

    // An exact-size copy, so that any read past the end is caught.
    std::vector<unsigned char> bytes(file_bytes, file_bytes + file_size);
    std::string type;
    ucf_extent sections[UCF_SECTION_COUNT];
    if (bytes.empty() || ucf_layout(bytes.data(), bytes.size(), type, sections) != UCF_LAYOUT_OK)
        return 0;
    UcfFile file(bytes.data(), bytes.size(), false);
    std::string url(reinterpret_cast<const char *>(data), url_len);
    match_url(file, url.c_str(), url.size());
    for (const char *u : fixed_urls)
        match_url(file, u, strlen(u));
    return 0;
}
