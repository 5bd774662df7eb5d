// Log-linear latency buckets: values below 64 ns are exact, above that each
// power of two is split into 64 equal parts.
#include "latency.h"

#include <cstddef>

namespace {
const unsigned k_sub = 64;     // buckets per power of two
const unsigned k_octaves = 58; // up to 2^63 ns
}  // namespace

latency_histogram::latency_histogram() : buckets_(k_sub * (k_octaves + 1), 0) {}

unsigned latency_histogram::bucket(uint64_t ns)
{
    if (ns < k_sub)
        return static_cast<unsigned>(ns);
    unsigned top = 63 - static_cast<unsigned>(__builtin_clzll(ns));  // ns >= 64: top >= 6
    unsigned shift = top - 6;
    unsigned sub = static_cast<unsigned>(ns >> shift) - k_sub;      // 0..63
    unsigned b = (shift + 1) * k_sub + sub;
    return b < k_sub * (k_octaves + 1) ? b : k_sub * (k_octaves + 1) - 1;
}

uint64_t latency_histogram::bucket_value(unsigned b)
{
    if (b < k_sub)
        return b;
    unsigned shift = b / k_sub - 1;
    uint64_t low = (uint64_t(k_sub) + b % k_sub) << shift;
    return low + ((uint64_t(1) << shift) >> 1);  // middle of the bucket
}

void latency_histogram::add(uint64_t ns)
{
    ++buckets_[bucket(ns)];
    ++count_;
    if (ns > max_)
        max_ = ns;
}

void latency_histogram::merge(const latency_histogram &o)
{
    for (size_t i = 0; i < buckets_.size(); ++i)
        buckets_[i] += o.buckets_[i];
    count_ += o.count_;
    if (o.max_ > max_)
        max_ = o.max_;
}

uint64_t latency_histogram::percentile(double q) const
{
    if (!count_)
        return 0;
    uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(count_));
    if (rank >= count_)
        rank = count_ - 1;
    uint64_t seen = 0;
    for (unsigned b = 0; b < buckets_.size(); ++b) {
        seen += buckets_[b];
        if (seen > rank) {
            uint64_t v = bucket_value(b);
            return v < max_ ? v : max_;
        }
    }
    return max_;
}
