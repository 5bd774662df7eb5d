// Matching one URL against one category file: the address tables, the
// substring patterns, then the digests of host suffixes and resource
// prefixes, each table searched by halving (the URL tables through their
// run directories). Reads the mapping only inside
// the extents the loader checked, and a parameter group only after its
// offset and size were checked against its section.
#include <cctype>
#include <cstring>

#include "log/log.h"
#include "policy/ucf_file.h"
#include "policy/ucf_url.h"

namespace {

// The record of rec bytes in e for which cmp(record) is 0, or null; the
// records are sorted so that cmp is negative before the key's place.
template <class Cmp>
const unsigned char *find_record(const ucf_extent &e, size_t rec, Cmp cmp)
{
    if (!e.begin)
        return nullptr;
    size_t lo = 0, hi = e.size() / rec;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        const unsigned char *r = e.begin + mid * rec;
        int c = cmp(r);
        if (c == 0)
            return r;
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return nullptr;
}

// True when text (tlen bytes) contains the plen bytes at pat, ignoring case.
bool contains_nocase(const char *text, size_t tlen, const unsigned char *pat, size_t plen)
{
    if (plen > tlen)
        return false;
    int first = tolower(pat[0]);
    for (size_t i = 0; i + plen <= tlen; ++i) {
        if (tolower(static_cast<unsigned char>(text[i])) != first)
            continue;
        size_t j = 1;
        while (j < plen && tolower(static_cast<unsigned char>(text[i + j])) == tolower(pat[j]))
            ++j;
        if (j == plen)
            return true;
    }
    return false;
}

// Resource lengths are 16-bit in the records: a longer prefix matches none.
constexpr size_t resource_length_max = 0xFFFF;

}  // namespace

bool UcfFile::match_address(const char *text, const ParsedUrl &url, std::string &out) const
{
    const unsigned char *found = nullptr;
    const char *what = nullptr;
    if (url.m_ip_type == UCF_HOST_IPV4) {
        found = find_record(sections_[UCF_SEC_IPV4], UCF_IPV4_RECORD,
                            [&](const unsigned char *r) { return memcmp(url.address, r, UCF_IPV4_RECORD); });
        what = "MATCH by IPv4 address with %s\n";
    } else if (url.m_ip_type == UCF_HOST_IPV6) {
        unsigned char d[TVX_MD5_SIZE];
        tvx_md5_of(url.address, 16, d);
        found = find_record(sections_[UCF_SEC_IPV6], UCF_IPV6_RECORD,
                            [&](const unsigned char *r) { return memcmp(d, r, UCF_IPV6_RECORD); });
        what = "MATCH by IPv6 address with %s\n";
    }
    if (!found)
        return false;
    icapd_log(LOG_L_TRACE, what, text);
    out.assign(url.text, url.m_hostname_length);
    return true;
}

bool UcfFile::match_substring(const char *text, std::string &out) const
{
    const ucf_extent &e = sections_[UCF_SEC_SUBSTRINGS];
    if (!e.begin)
        return false;
    size_t tlen = strlen(text);
    for (const unsigned char *p = e.begin; p < e.end;) {
        const unsigned char *nul = static_cast<const unsigned char *>(memchr(p, 0, e.size() - (p - e.begin)));
        const unsigned char *pend = nul ? nul : e.end;
        size_t plen = static_cast<size_t>(pend - p);
        // An empty pattern (padding between patterns) stands for nothing.
        if (plen && contains_nocase(text, tlen, p, plen)) {
            out.assign(reinterpret_cast<const char *>(p), plen);
            icapd_log(LOG_L_TRACE, "MATCH by string %s with %s\n", text, out.c_str());
            return true;
        }
        p = pend + 1;
    }
    return false;
}

bool UcfFile::match_groups(const unsigned char *record, const ParsedUrl &url) const
{
    const ucf_extent &g = sections_[UCF_SEC_GROUPS];
    uint32_t offset = ucf_get32(record + UCF_URL_RECORD);
    uint32_t count = ucf_get32(record + UCF_URL_RECORD + 4);
    if (!g.begin || offset >= g.size())
        return false;
    const unsigned char *p = g.begin + offset;
    for (uint32_t i = 0; i < count && p < g.end; ++i) {
        size_t c = *p;
        if (1 + c * UCF_DIGEST_SIZE > static_cast<size_t>(g.end - p))
            return false;
        bool all = true;
        for (size_t k = 0; k < c && all; ++k)
            all = url.has_param(p + 1 + k * UCF_DIGEST_SIZE);
        if (all)
            return true;
        p += 1 + c * UCF_DIGEST_SIZE;
    }
    return false;
}

bool UcfFile::match_level(const char *text, const ParsedUrl &url, int level, std::string &out, bool &done) const
{
    const char *host = url.text;
    size_t host_len = url.m_hostname_length;
    const unsigned char *base;
    size_t base_len;
    const char *shown = host;  // start of the host text the record stands for
    if (level == UCF_LEVEL_IPV4 || level == UCF_LEVEL_IPV6) {
        base = url.address;
        base_len = level == UCF_LEVEL_IPV4 ? 4 : 16;
    } else {
        // The last `level` labels: the text after the level-th dot from the
        // end, or the whole host when it has exactly that many labels.
        int dots = 0;
        size_t start = host_len;
        while (start > 0 && dots < level) {
            if (host[start - 1] == '.' && ++dots == level)
                break;
            --start;
        }
        if (dots < level - 1) {
            done = true;  // fewer labels than the level
            return false;
        }
        shown = host + start;
        base = reinterpret_cast<const unsigned char *>(shown);
        base_len = host_len - start;
    }
    size_t shown_len = static_cast<size_t>(host + host_len - shown);

    const char *res = url.text + url.resource_offset;
    const size_t res_len = url.m_resource;
    tvx_md5 running;
    running.update(base, base_len);
    size_t plen = 0;
    bool flag = false;
    for (;;) {
        ucf_url_key key;
        key.level = static_cast<int8_t>(level);
        key.length = static_cast<uint16_t>(plen);
        running.digest(key.digest);
        if (urls_.find(key)) {
            out.assign(shown, shown_len);
            out.append(res, plen);
            icapd_log(LOG_L_TRACE, "MATCH url %s with %s\n", text, out.c_str());
            return true;
        }
        if (!url.param_digests.empty()) {
            const unsigned char *r = url_params_.find(key);
            if (r && match_groups(r, url)) {
                out.assign(shown, static_cast<size_t>(url.text + url.length - shown));
                icapd_log(LOG_L_TRACE, "MATCH with params %s with %s\n", text, out.c_str());
                return true;
            }
        }
        if (plen >= res_len)
            return false;
        // The next step: up to the next "/" and, every other step, the "/".
        size_t run_end = plen;
        while (run_end < res_len && res[run_end] != '/' && res[run_end] != '?')
            ++run_end;
        size_t run = run_end - plen;
        size_t step;
        if (run_end < res_len && res[run_end] == '/' && (!flag || run == 0 || plen == 0)) {
            step = run + 1;
        } else {
            step = run;
            if (run == 0) {
                icapd_log(LOG_L_WARN, "url parser error: next_resource_length empty in %s\n", text);
                return false;
            }
        }
        running.update(res + plen, step);
        plen += step;
        flag = !flag;
        if (plen > resource_length_max)
            return false;
    }
}

bool UcfFile::match(const char *text, const ParsedUrl &url, std::string &out) const
{
    if (match_address(text, url, out) || match_substring(text, out))
        return true;
    int level = url.m_ip_type == UCF_HOST_IPV4 ? UCF_LEVEL_IPV4
                : url.m_ip_type == UCF_HOST_IPV6 ? UCF_LEVEL_IPV6
                                                 : 1;
    for (;;) {
        bool done = false;
        if (match_level(text, url, level, out, done))
            return true;
        if (done)
            return false;
        level = level < 0 ? 1 : level + 1;
        if (level > UCF_LEVEL_NAME_MAX)
            return false;
    }
}
