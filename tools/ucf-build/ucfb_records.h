// The records of one category file as they are gathered: substring patterns
// in input order, IPv4 and IPv6 records, URL keys, URL keys with parameter
// groups; then sorted, deduplicated and handed out as section bytes. Makes
// the keys from parsed entries; never reads a list or writes a file.
#ifndef TVX_UCFB_RECORDS_H
#define TVX_UCFB_RECORDS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "policy/ucf_format.h"
#include "ucfb_digest.h"
#include "ucfb_entry.h"
#include "ucfb_result.h"

using ucfb_ipv4_record = std::array<unsigned char, UCF_IPV4_RECORD>;
using ucfb_digest_bytes = std::array<unsigned char, UCF_DIGEST_SIZE>;
using ucfb_url_record = std::array<unsigned char, UCF_URL_RECORD>;

// Records of each section after finish().
struct ucfb_counts {
    size_t patterns = 0, ipv4 = 0, ipv6 = 0, urls = 0, url_params = 0, groups = 0;
};

class ucfb_records {
public:
    ucfb_rc init(std::string &err);

    // A substring pattern; false when the same pattern, ignoring case, came before.
    bool add_pattern(std::string_view pattern);
    void add(const ucfb_entry &e);
    bool empty() const;

    // Sorts and deduplicates every section and lays out sections 0 and 5.
    void finish();
    const ucfb_counts &counts() const { return counts_; }
    uint64_t section_size(int section) const;
    void append_section(int section, std::vector<unsigned char> &out) const;

private:
    struct param_entry {
        ucfb_url_record key;
        size_t first;  // its group's digests in group_digests_
        uint32_t count;
    };
    bool param_less(const param_entry &a, const param_entry &b) const;
    bool group_equal(const param_entry &a, const param_entry &b) const;

    ucfb_md5 md5_;
    std::vector<std::string> patterns_;
    std::unordered_set<std::string> patterns_seen_;  // lower-cased
    std::vector<ucfb_ipv4_record> ipv4_;
    std::vector<ucfb_digest_bytes> ipv6_;
    std::vector<ucfb_url_record> urls_;
    std::vector<param_entry> params_;
    std::vector<ucfb_digest_bytes> group_digests_;
    std::vector<unsigned char> groups_bytes_, params_bytes_;  // sections 0 and 5, made by finish()
    uint64_t patterns_size_ = 0;
    ucfb_counts counts_;
};

// Orders two URL records as ucf_key_compare does: level signed, then
// length, then digest bytewise.
bool ucfb_url_less(const unsigned char *a, const unsigned char *b);

#endif
