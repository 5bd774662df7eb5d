// Layout checks in the order the loader depends on them: the header before
// the table, the table before the type, extents before contents. A step
// that finds the bytes it needs missing stops the checks that would follow
// them; problems found so far stay reported.
#include "ucfb_layout.h"

#include <algorithm>
#include <cstring>

#include "ucfb_category.h"
#include "ucfb_limits.h"
#include "ucfb_quote.h"
#include "ucfb_records.h"

namespace {

const size_t k_record_size[UCF_SECTION_COUNT] = {1, 1, UCF_IPV4_RECORD, UCF_IPV6_RECORD, UCF_URL_RECORD,
                                                 UCF_URL_PARAMS_RECORD};

std::string sec_name(int i) { return "section " + std::to_string(i); }

void find_extents(ucfb_layout &l)
{
    size_t n = l.table.size();
    for (size_t i = 0; i + 1 < n; ++i) {
        if (l.table[i] == 0)
            continue;
        uint64_t start = l.table[i], end = 0;
        bool ended = false;
        for (size_t j = i + 1; j < n && !ended; ++j)
            if (l.table[j] != 0) {
                end = l.table[j];
                ended = true;
            }
        std::string what = i < UCF_SECTION_COUNT ? sec_name(static_cast<int>(i)) : "table entry " + std::to_string(i);
        bool usable = false;
        if (!ended)
            l.problems.push_back(what + " starts at " + std::to_string(start) + " but no later entry ends it");
        else if (start < l.body_start)
            l.problems.push_back(what + " starts at " + std::to_string(start) + ", inside the header (which ends at " +
                                 std::to_string(l.body_start) + ")");
        else if (end < start)
            l.problems.push_back(what + " ends at " + std::to_string(end) + ", before it starts at " +
                                 std::to_string(start));
        else if (end > l.signed_end)
            l.problems.push_back(what + " ends at " + std::to_string(end) + ", past the signature at " +
                                 std::to_string(l.signed_end));
        else
            usable = true;
        if (i >= UCF_SECTION_COUNT) {
            if (usable)
                l.notes.push_back(what + ": " + std::to_string(end - start) + " bytes at " + std::to_string(start) +
                                  ", not a section this tool knows; ignored");
            continue;
        }
        ucfb_extent &e = l.sec[i];
        e.present = true;
        e.start = start;
        e.end = ended ? end : start;
        if (usable && (end - start) % k_record_size[i] != 0) {
            l.problems.push_back(what + " holds " + std::to_string(end - start) + " bytes, not a whole number of " +
                                 std::to_string(k_record_size[i]) + "-byte records");
            usable = false;
        }
        e.usable = usable;
        if (usable)
            e.records = (end - start) / k_record_size[i];
    }
    uint32_t mark = l.table.back();
    if (mark != l.signed_end)
        l.problems.push_back("the last table entry, " + std::to_string(mark) +
                             ", is not where the signature begins (" + std::to_string(l.signed_end) + ")");
}

void check_groups(const unsigned char *data, ucfb_layout &l)
{
    ucfb_extent &e = l.sec[UCF_SEC_GROUPS];
    if (!e.usable)
        return;
    uint64_t at = e.start;
    while (at < e.end) {
        uint64_t c = data[at];
        if (c * UCF_DIGEST_SIZE > e.end - at - 1) {
            l.problems.push_back("section 0: the group at " + std::to_string(at - e.start) + " announces " +
                                 std::to_string(c) + " digests, more than the section holds");
            e.usable = false;
            break;
        }
        l.group_starts.push_back(at - e.start);
        l.group_digests += c;
        at += 1 + c * UCF_DIGEST_SIZE;
    }
    e.records = l.group_starts.size();
}

void check_patterns(const unsigned char *data, ucfb_layout &l)
{
    ucfb_extent &e = l.sec[UCF_SEC_SUBSTRINGS];
    if (!e.usable || e.start == e.end)
        return;
    if (data[e.end - 1] != 0) {
        l.problems.push_back("section 1: the last pattern has no terminating zero byte");
        e.usable = false;
        return;
    }
    uint64_t count = 0, begin = e.start;
    for (uint64_t at = e.start; at < e.end; ++at) {
        if (data[at] != 0)
            continue;
        if (at == begin)
            l.problems.push_back("section 1: an empty pattern at " + std::to_string(at - e.start) +
                                 " (it would match every URL)");
        ++count;
        begin = at + 1;
    }
    e.records = count;
}

bool in_order(int section, const unsigned char *a, const unsigned char *b)
{
    if (section == UCF_SEC_IPV4 || section == UCF_SEC_IPV6)
        return memcmp(a, b, k_record_size[section]) <= 0;
    return !ucfb_url_less(b, a);
}

void check_order(const unsigned char *data, ucfb_layout &l, int section)
{
    const ucfb_extent &e = l.sec[section];
    if (!e.usable)
        return;
    size_t rs = k_record_size[section];
    for (uint64_t i = 1; i < e.records; ++i) {
        const unsigned char *prev = data + e.start + (i - 1) * rs;
        if (!in_order(section, prev, prev + rs)) {
            l.problems.push_back(sec_name(section) + ": record " + std::to_string(i) +
                                 " sorts before the one ahead of it; lookups would miss records");
            return;
        }
    }
}

void check_group_refs(const unsigned char *data, ucfb_layout &l)
{
    const ucfb_extent &e = l.sec[UCF_SEC_URL_PARAMS];
    if (!e.usable)
        return;
    for (uint64_t i = 0; i < e.records; ++i) {
        const unsigned char *rec = data + e.start + i * UCF_URL_PARAMS_RECORD;
        uint32_t off = ucf_get32(rec + UCF_URL_RECORD), count = ucf_get32(rec + UCF_URL_RECORD + 4);
        if (count == 0)
            continue;
        long long first = l.sec[UCF_SEC_GROUPS].usable ? ucfb_group_index(l, off) : -1;
        if (first < 0 || uint64_t(first) + count > l.group_starts.size()) {
            l.problems.push_back("section 5: record " + std::to_string(i) + " points at " + std::to_string(count) +
                                 " groups at " + std::to_string(off) + " of section 0, which holds no such groups");
            return;
        }
    }
}

}  // namespace

long long ucfb_group_index(const ucfb_layout &l, uint64_t off)
{
    auto it = std::lower_bound(l.group_starts.begin(), l.group_starts.end(), off);
    if (it == l.group_starts.end() || *it != off)
        return -1;
    return it - l.group_starts.begin();
}

void ucfb_layout_check(const unsigned char *data, size_t size, ucfb_layout &l)
{
    l = ucfb_layout();
    l.size = size;
    if (size < UCF_MIN_SIZE) {
        l.problems.push_back(std::to_string(size) + " bytes, fewer than the " + std::to_string(UCF_MIN_SIZE) +
                             " of the smallest category file");
        return;
    }
    l.signed_end = size - UCF_SIGNATURE_SIZE;
    if (memcmp(data, ucf_magic, sizeof ucf_magic) != 0) {
        l.problems.push_back("the file does not begin with the category-file magic \"UCF\\0\"");
        return;
    }
    uint32_t n = ucf_get32(data + 4);
    if (n == 0 || ucf_header_size(n) > l.signed_end) {
        l.problems.push_back("a section table of " + std::to_string(n) + " entries does not fit before the signature");
        return;
    }
    l.table.resize(n);
    for (uint32_t i = 0; i < n; ++i)
        l.table[i] = ucf_get32(data + UCF_TABLE_OFFSET + 4 * uint64_t(i));
    l.table_read = true;

    uint64_t type_at = ucf_header_size(n);
    const void *zero = memchr(data + type_at, 0, l.signed_end - type_at);
    if (!zero) {
        l.problems.push_back("the type string has no terminating zero byte before the signature");
        return;
    }
    l.body_start = static_cast<const unsigned char *>(zero) - data + 1;
    l.type.assign(reinterpret_cast<const char *>(data + type_at), l.body_start - 1 - type_at);
    l.type_read = true;
    if (!ucfb_type_known(l.type))
        l.problems.push_back("the type " + ucfb_quote(l.type, UCFB_QUOTE_MAX) + " is not a category the daemon knows (" +
                             ucfb_category_list() + ", or \"whitelist_\" and one of them)");

    find_extents(l);
    check_groups(data, l);
    check_patterns(data, l);
    for (int s : {UCF_SEC_IPV4, UCF_SEC_IPV6, UCF_SEC_URLS, UCF_SEC_URL_PARAMS})
        check_order(data, l, s);
    check_group_refs(data, l);
}
