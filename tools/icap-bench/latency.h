// Latency histogram of fixed size: 64 buckets per power of two, so any
// percentile is within about 1.6% of the true value whatever the run length.
#ifndef TVX_ICAP_BENCH_LATENCY_H
#define TVX_ICAP_BENCH_LATENCY_H

#include <cstdint>
#include <vector>

class latency_histogram {
public:
    latency_histogram();
    void add(uint64_t ns);
    void merge(const latency_histogram &o);
    uint64_t count() const { return count_; }
    uint64_t max_ns() const { return max_; }
    // Nanoseconds below which the fraction q (0..1) of the samples lies.
    uint64_t percentile(double q) const;

private:
    static unsigned bucket(uint64_t ns);
    static uint64_t bucket_value(unsigned b);
    std::vector<uint64_t> buckets_;
    uint64_t count_ = 0;
    uint64_t max_ = 0;
};

#endif
