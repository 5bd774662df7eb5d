// Record keys and section bytes. A URL key is (level, path length,
// MD5(base followed by path)); a parameter group is its pieces' MD5s,
// sorted. Records that come out the same are kept once; a URL with several
// parameter groups becomes one section-5 record pointing at all of them.
#include "ucfb_records.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

ucfb_url_record url_key(ucfb_md5 &md5, const ucfb_entry &e)
{
    ucf_url_key k;
    k.level = static_cast<int8_t>(e.level);
    k.length = static_cast<uint16_t>(e.path.size());
    md5.digest(e.base, e.path, k.digest);
    ucfb_url_record r;
    ucf_key_write(k, r.data());
    return r;
}

}  // namespace

bool ucfb_url_less(const unsigned char *a, const unsigned char *b)
{
    int la = static_cast<int8_t>(a[0]), lb = static_cast<int8_t>(b[0]);
    if (la != lb)
        return la < lb;
    return memcmp(a + 1, b + 1, UCF_URL_RECORD - 1) < 0;
}

ucfb_rc ucfb_records::init(std::string &err) { return md5_.init(err); }

bool ucfb_records::add_pattern(std::string_view pattern)
{
    std::string folded(pattern);
    for (char &c : folded)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (!patterns_seen_.insert(std::move(folded)).second)
        return false;
    patterns_.emplace_back(pattern);
    patterns_size_ += pattern.size() + 1;
    return true;
}

void ucfb_records::add(const ucfb_entry &e)
{
    switch (e.section) {
    case UCF_SEC_IPV4: {
        ucfb_ipv4_record r;
        memcpy(r.data(), e.base.data(), r.size());
        ipv4_.push_back(r);
        break;
    }
    case UCF_SEC_IPV6: {
        ucfb_digest_bytes d;
        md5_.digest(e.base, {}, d.data());
        ipv6_.push_back(d);
        break;
    }
    case UCF_SEC_URL_PARAMS: {
        param_entry p;
        p.key = url_key(md5_, e);
        p.first = group_digests_.size();
        for (std::string_view piece : e.pieces) {
            ucfb_digest_bytes d;
            md5_.digest(piece, {}, d.data());
            group_digests_.push_back(d);
        }
        auto begin = group_digests_.begin() + p.first;
        std::sort(begin, group_digests_.end());
        group_digests_.erase(std::unique(begin, group_digests_.end()), group_digests_.end());
        p.count = static_cast<uint32_t>(group_digests_.size() - p.first);
        params_.push_back(p);
        break;
    }
    default:
        urls_.push_back(url_key(md5_, e));
        break;
    }
}

bool ucfb_records::empty() const
{
    return patterns_.empty() && ipv4_.empty() && ipv6_.empty() && urls_.empty() && params_.empty();
}

bool ucfb_records::param_less(const param_entry &a, const param_entry &b) const
{
    if (ucfb_url_less(a.key.data(), b.key.data()))
        return true;
    if (ucfb_url_less(b.key.data(), a.key.data()))
        return false;
    auto ga = group_digests_.begin() + a.first, gb = group_digests_.begin() + b.first;
    return std::lexicographical_compare(ga, ga + a.count, gb, gb + b.count);
}

bool ucfb_records::group_equal(const param_entry &a, const param_entry &b) const
{
    auto ga = group_digests_.begin() + a.first, gb = group_digests_.begin() + b.first;
    return a.key == b.key && a.count == b.count && std::equal(ga, ga + a.count, gb);
}

void ucfb_records::finish()
{
    std::sort(ipv4_.begin(), ipv4_.end());
    ipv4_.erase(std::unique(ipv4_.begin(), ipv4_.end()), ipv4_.end());
    std::sort(ipv6_.begin(), ipv6_.end());
    ipv6_.erase(std::unique(ipv6_.begin(), ipv6_.end()), ipv6_.end());
    auto url_less = [](const ucfb_url_record &a, const ucfb_url_record &b) { return ucfb_url_less(a.data(), b.data()); };
    std::sort(urls_.begin(), urls_.end(), url_less);
    urls_.erase(std::unique(urls_.begin(), urls_.end()), urls_.end());

    std::sort(params_.begin(), params_.end(),
              [this](const param_entry &a, const param_entry &b) { return param_less(a, b); });
    params_.erase(std::unique(params_.begin(), params_.end(),
                              [this](const param_entry &a, const param_entry &b) { return group_equal(a, b); }),
                  params_.end());
    groups_bytes_.clear();
    params_bytes_.clear();
    size_t records = 0;
    for (size_t i = 0; i < params_.size();) {
        size_t j = i;
        uint32_t offset = static_cast<uint32_t>(groups_bytes_.size());
        for (; j < params_.size() && params_[j].key == params_[i].key; ++j) {
            groups_bytes_.push_back(static_cast<unsigned char>(params_[j].count));
            for (uint32_t d = 0; d < params_[j].count; ++d) {
                const ucfb_digest_bytes &digest = group_digests_[params_[j].first + d];
                groups_bytes_.insert(groups_bytes_.end(), digest.begin(), digest.end());
            }
        }
        unsigned char rec[UCF_URL_PARAMS_RECORD];
        memcpy(rec, params_[i].key.data(), UCF_URL_RECORD);
        ucf_put32(rec + UCF_URL_RECORD, offset);
        ucf_put32(rec + UCF_URL_RECORD + 4, static_cast<uint32_t>(j - i));
        params_bytes_.insert(params_bytes_.end(), rec, rec + sizeof rec);
        ++records;
        i = j;
    }

    counts_.patterns = patterns_.size();
    counts_.ipv4 = ipv4_.size();
    counts_.ipv6 = ipv6_.size();
    counts_.urls = urls_.size();
    counts_.url_params = records;
    counts_.groups = params_.size();
}

uint64_t ucfb_records::section_size(int section) const
{
    switch (section) {
    case UCF_SEC_GROUPS: return groups_bytes_.size();
    case UCF_SEC_SUBSTRINGS: return patterns_size_;
    case UCF_SEC_IPV4: return uint64_t(ipv4_.size()) * UCF_IPV4_RECORD;
    case UCF_SEC_IPV6: return uint64_t(ipv6_.size()) * UCF_IPV6_RECORD;
    case UCF_SEC_URLS: return uint64_t(urls_.size()) * UCF_URL_RECORD;
    case UCF_SEC_URL_PARAMS: return params_bytes_.size();
    }
    return 0;
}

void ucfb_records::append_section(int section, std::vector<unsigned char> &out) const
{
    switch (section) {
    case UCF_SEC_GROUPS: out.insert(out.end(), groups_bytes_.begin(), groups_bytes_.end()); break;
    case UCF_SEC_SUBSTRINGS:
        for (const std::string &p : patterns_) {
            out.insert(out.end(), p.begin(), p.end());
            out.push_back(0);
        }
        break;
    case UCF_SEC_IPV4:
        for (const ucfb_ipv4_record &r : ipv4_)
            out.insert(out.end(), r.begin(), r.end());
        break;
    case UCF_SEC_IPV6:
        for (const ucfb_digest_bytes &d : ipv6_)
            out.insert(out.end(), d.begin(), d.end());
        break;
    case UCF_SEC_URLS:
        for (const ucfb_url_record &r : urls_)
            out.insert(out.end(), r.begin(), r.end());
        break;
    case UCF_SEC_URL_PARAMS: out.insert(out.end(), params_bytes_.begin(), params_bytes_.end()); break;
    }
}
