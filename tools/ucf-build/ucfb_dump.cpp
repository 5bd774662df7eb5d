// The dump's printing, one function per section kind. Summaries count
// records per level with their path lengths; --verbose lists each record's
// digest. Sections the layout check found unusable are named, not read.
#include "ucfb_dump.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <map>
#include <vector>

#include "policy/ucf_format.h"
#include "policy/ucf_signature.h"
#include "ucfb_file.h"
#include "ucfb_keyfile.h"
#include "ucfb_layout.h"
#include "ucfb_limits.h"
#include "ucfb_quote.h"

namespace {

const char *const k_section_title[UCF_SECTION_COUNT] = {
    "parameter groups", "substrings", "IPv4 addresses", "IPv6 addresses", "URLs", "URLs with parameters",
};

const char *const k_unit[UCF_SECTION_COUNT] = {"groups", "patterns", "records", "records", "records", "records"};

struct level_summary {
    uint64_t records = 0;
    unsigned min_length = 0xFFFF, max_length = 0;
};

// A level byte as the daemon means it: -1 and -2 are the address levels,
// every other byte a label count.
std::string level_text(unsigned char b)
{
    int v = static_cast<int8_t>(b);
    if (v == UCF_LEVEL_IPV4)
        return "-1 (IPv4)";
    if (v == UCF_LEVEL_IPV6)
        return "-2 (IPv6)";
    return std::to_string(static_cast<unsigned>(b));
}

std::string url_text(const unsigned char *rec)
{
    return "level " + level_text(rec[0]) + " length " + std::to_string(ucf_get16(rec + 1)) + " digest " +
           ucfb_hex(rec + 3, UCF_DIGEST_SIZE);
}

void print_groups(const unsigned char *data, const ucfb_layout &l, FILE *out, bool verbose)
{
    const ucfb_extent &e = l.sec[UCF_SEC_GROUPS];
    fprintf(out, ", %zu digests\n", static_cast<size_t>(l.group_digests));
    if (!verbose)
        return;
    for (uint64_t off : l.group_starts) {
        const unsigned char *g = data + e.start + off;
        fprintf(out, "  group at %llu: %u digests\n", static_cast<unsigned long long>(off), g[0]);
    }
}

void print_patterns(const unsigned char *data, const ucfb_extent &e, FILE *out)
{
    fputc('\n', out);
    uint64_t begin = e.start;
    for (uint64_t at = e.start; at < e.end; ++at) {
        if (data[at] != 0)
            continue;
        std::string_view p(reinterpret_cast<const char *>(data + begin), at - begin);
        fprintf(out, "  pattern %s\n", ucfb_quote(p, p.size()).c_str());
        begin = at + 1;
    }
}

void print_ipv4(const unsigned char *data, const ucfb_extent &e, FILE *out)
{
    fputc('\n', out);
    for (uint64_t i = 0; i < e.records; ++i) {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, data + e.start + i * UCF_IPV4_RECORD, text, sizeof text);
        fprintf(out, "  address %s\n", text);
    }
}

void print_ipv6(const unsigned char *data, const ucfb_extent &e, FILE *out, bool verbose)
{
    fputc('\n', out);
    for (uint64_t i = 0; verbose && i < e.records; ++i)
        fprintf(out, "  ipv6 %s\n", ucfb_hex(data + e.start + i * UCF_IPV6_RECORD, UCF_IPV6_RECORD).c_str());
}

void print_urls(const unsigned char *data, const ucfb_layout &l, int section, FILE *out, bool verbose)
{
    const ucfb_extent &e = l.sec[section];
    size_t rs = section == UCF_SEC_URLS ? UCF_URL_RECORD : UCF_URL_PARAMS_RECORD;
    std::map<int, level_summary> levels;
    uint64_t min_groups = UINT64_MAX, max_groups = 0;
    for (uint64_t i = 0; i < e.records; ++i) {
        const unsigned char *rec = data + e.start + i * rs;
        level_summary &s = levels[static_cast<int8_t>(rec[0])];
        unsigned length = ucf_get16(rec + 1);
        ++s.records;
        s.min_length = std::min(s.min_length, length);
        s.max_length = std::max(s.max_length, length);
        if (section == UCF_SEC_URL_PARAMS) {
            uint64_t count = ucf_get32(rec + UCF_URL_RECORD + 4);
            min_groups = std::min(min_groups, count);
            max_groups = std::max(max_groups, count);
        }
    }
    if (section == UCF_SEC_URL_PARAMS && e.records > 0)
        fprintf(out, ", %llu..%llu groups per record", static_cast<unsigned long long>(min_groups),
                static_cast<unsigned long long>(max_groups));
    fputc('\n', out);
    for (const auto &[level, s] : levels)
        fprintf(out, "  level %s: %llu records, lengths %u..%u\n", level_text(static_cast<unsigned char>(level)).c_str(),
                static_cast<unsigned long long>(s.records), s.min_length, s.max_length);
    if (!verbose)
        return;
    const ucfb_extent &g = l.sec[UCF_SEC_GROUPS];
    for (uint64_t i = 0; i < e.records; ++i) {
        const unsigned char *rec = data + e.start + i * rs;
        if (section == UCF_SEC_URLS) {
            fprintf(out, "  url %s\n", url_text(rec).c_str());
            continue;
        }
        uint32_t off = ucf_get32(rec + UCF_URL_RECORD), count = ucf_get32(rec + UCF_URL_RECORD + 4);
        fprintf(out, "  url %s groups %u at %u\n", url_text(rec).c_str(), count, off);
        long long first = g.usable ? ucfb_group_index(l, off) : -1;
        if (first < 0 || uint64_t(first) + count > l.group_starts.size())
            continue;  // reported as a layout problem
        for (uint32_t k = 0; k < count; ++k) {
            const unsigned char *grp = data + g.start + l.group_starts[first + k];
            std::string line = grp[0] == 0 ? " (any parameters)" : "";
            for (unsigned d = 0; d < grp[0]; ++d)
                line += " " + ucfb_hex(grp + 1 + d * UCF_DIGEST_SIZE, UCF_DIGEST_SIZE);
            fprintf(out, "    group%s\n", line.c_str());
        }
    }
}

void print_section(const unsigned char *data, const ucfb_layout &l, int i, FILE *out, bool verbose)
{
    const ucfb_extent &e = l.sec[i];
    fprintf(out, "section %d (%s): ", i, k_section_title[i]);
    if (!e.present) {
        fputs("absent\n", out);
        return;
    }
    if (!e.usable) {
        fprintf(out, "at %llu, unusable\n", static_cast<unsigned long long>(e.start));
        return;
    }
    fprintf(out, "%llu..%llu, %llu bytes, %llu %s", static_cast<unsigned long long>(e.start),
            static_cast<unsigned long long>(e.end), static_cast<unsigned long long>(e.end - e.start),
            static_cast<unsigned long long>(e.records), k_unit[i]);
    switch (i) {
    case UCF_SEC_GROUPS: print_groups(data, l, out, verbose); break;
    case UCF_SEC_SUBSTRINGS: print_patterns(data, e, out); break;
    case UCF_SEC_IPV4: print_ipv4(data, e, out); break;
    case UCF_SEC_IPV6: print_ipv6(data, e, out, verbose); break;
    default: print_urls(data, l, i, out, verbose); break;
    }
}

}  // namespace

ucfb_rc ucfb_dump(const ucfb_dump_options &o, FILE *out, std::string &err)
{
    ucf_dsa_key key;
    if (!o.key_path.empty()) {
        ucfb_rc rc = ucfb_key_read(o.key_path, key, err);
        if (rc != UCFB_OK)
            return rc;
    }
    std::vector<unsigned char> bytes;
    uint64_t size = 0;
    ucfb_rc rc = ucfb_read_whole(o.path, UCFB_DUMP_MAX, bytes, size, err);
    if (rc == UCFB_ERR_IO)
        return rc;
    fprintf(out, "file: %s\nsize: %llu bytes\n", ucfb_quote(o.path, o.path.size()).c_str(),
            static_cast<unsigned long long>(size));
    if (rc == UCFB_ERR_TOO_BIG) {
        fputs("layout: larger than any category file can be; not read\nsignature: INVALID\n", out);
        return UCFB_ERR_LAYOUT;
    }

    const unsigned char *data = bytes.data();
    ucfb_layout l;
    ucfb_layout_check(data, bytes.size(), l);
    if (l.table_read) {
        fprintf(out, "table: %zu entries:", l.table.size());
        for (uint32_t v : l.table)
            fprintf(out, " %u", v);
        fputc('\n', out);
    }
    if (l.type_read) {
        fprintf(out, "type: %s\n", ucfb_quote(l.type, l.type.size()).c_str());
        for (int i = 0; i < UCF_SECTION_COUNT; ++i)
            print_section(data, l, i, out, o.verbose);
    }
    for (const std::string &n : l.notes)
        fprintf(out, "note: %s\n", n.c_str());
    for (const std::string &p : l.problems)
        fprintf(out, "layout: %s\n", p.c_str());

    bool valid;
    if (o.key_path.empty()) {
        fprintf(out, "key: built in%s\n", ucf_builtin_key_is_test() ? " (the repository's test key)" : "");
        valid = ucf_signature_valid(data, bytes.size());
    } else {
        ucf_verifier verifier(key);
        fprintf(out, "key: %s%s\n", ucfb_quote(o.key_path, o.key_path.size()).c_str(),
                verifier.ok() ? "" : " (its values make no DSA key)");
        valid = verifier.ok() && verifier.verify(data, bytes.size());
    }
    fprintf(out, "signature: %s\n", valid ? "valid" : "INVALID");
    if (!l.sound())
        return UCFB_ERR_LAYOUT;
    return valid ? UCFB_OK : UCFB_ERR_SIGNATURE;
}
