// Building and searching the run directory of a URL-record table. Every
// record number it keeps is below the table's record count, which comes
// from the checked extent of the table; lookups never leave it.
#include "policy/ucf_index.h"

#include <algorithm>
#include <cstring>

namespace {

uint64_t digest_prefix(const unsigned char *digest)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | digest[i];
    return v;
}

// Orders (level, length) pairs as the table does.
int pair_compare(int8_t l1, uint16_t n1, int8_t l2, uint16_t n2)
{
    if (l1 != l2)
        return l1 < l2 ? -1 : 1;
    if (n1 != n2)
        return n1 < n2 ? -1 : 1;
    return 0;
}

}  // namespace

void ucf_index::build(const unsigned char *begin, const unsigned char *end, size_t rec)
{
    base_ = begin;
    rec_ = rec;
    runs_.clear();
    samples_.clear();
    sorted_ = false;
    size_t n = begin && end > begin ? static_cast<size_t>(end - begin) / rec : 0;
    count_ = n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
    for (uint32_t i = 0; i < count_; ++i) {
        const unsigned char *r = base_ + size_t(i) * rec_;
        int8_t level = static_cast<int8_t>(r[0]);
        uint16_t length = ucf_get16(r + 1);
        if (runs_.empty() || pair_compare(level, length, runs_.back().level, runs_.back().length) != 0) {
            if (!runs_.empty() && pair_compare(level, length, runs_.back().level, runs_.back().length) < 0) {
                // Not sorted: the directory would mislead; search by halving.
                runs_.clear();
                samples_.clear();
                return;
            }
            if (!runs_.empty())
                runs_.back().end = i;
            runs_.push_back(run{level, length, i, count_, static_cast<uint32_t>(samples_.size())});
        }
        if ((i - runs_.back().begin) % block == 0)
            samples_.push_back(digest_prefix(r + 3));
    }
    sorted_ = true;
}

const unsigned char *ucf_index::search(const ucf_url_key &key, uint32_t lo, uint32_t hi) const
{
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        const unsigned char *r = base_ + size_t(mid) * rec_;
        int c = ucf_key_compare(key, r);
        if (c == 0)
            return r;
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return nullptr;
}

const unsigned char *ucf_index::find(const ucf_url_key &key) const
{
    if (!count_)
        return nullptr;
    if (!sorted_)
        return search(key, 0, count_);
    auto it = std::lower_bound(runs_.begin(), runs_.end(), key, [](const run &r, const ucf_url_key &k) {
        return pair_compare(r.level, r.length, k.level, k.length) < 0;
    });
    if (it == runs_.end() || pair_compare(it->level, it->length, key.level, key.length) != 0)
        return nullptr;
    // Samples of this run; the key lies after the last block that starts
    // below its prefix and before the first block that starts above it.
    uint32_t blocks = (it->end - it->begin + block - 1) / block;
    auto first = samples_.begin() + it->first_sample, last = first + blocks;
    uint64_t p = digest_prefix(key.digest);
    uint32_t lo_block = static_cast<uint32_t>(std::lower_bound(first, last, p) - first);
    uint32_t hi_block = static_cast<uint32_t>(std::upper_bound(first, last, p) - first);
    uint32_t lo = it->begin + (lo_block ? (lo_block - 1) * block : 0);
    uint32_t hi = std::min(it->end, it->begin + std::max(hi_block, 1u) * block);
    return search(key, lo, hi);
}
