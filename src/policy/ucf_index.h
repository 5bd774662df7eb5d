// A small in-memory directory of one sorted URL-record table of a mapped
// category file: where each run of records of one (level, length) begins
// and ends, and the digest prefix of every 64th record of a run. A search
// then reads the mapped table only in the block or two that can hold the
// key, and not at all for a (level, length) the file has no record of, so
// that a connection process maps few pages of a large file. Built once by
// the listener; read-only afterwards.
#ifndef TVX_POLICY_UCF_INDEX_H
#define TVX_POLICY_UCF_INDEX_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "policy/ucf_format.h"

struct ucf_extent;

class ucf_index {
public:
    // Indexes the table of rec-byte records in [begin, end). A table not
    // sorted by (level, length) is searched whole, by halving, as it is.
    void build(const unsigned char *begin, const unsigned char *end, size_t rec);

    // The record whose first UCF_URL_RECORD bytes equal key, or null.
    const unsigned char *find(const ucf_url_key &key) const;

private:
    struct run {
        int8_t level;
        uint16_t length;
        uint32_t begin, end;     // record numbers
        uint32_t first_sample;   // index into samples_
    };
    static constexpr uint32_t block = 64;  // records per sample

    const unsigned char *base_ = nullptr;
    size_t rec_ = 0;
    uint32_t count_ = 0;
    bool sorted_ = false;
    std::vector<run> runs_;
    std::vector<uint64_t> samples_;

    const unsigned char *search(const ucf_url_key &key, uint32_t lo, uint32_t hi) const;
};

#endif
