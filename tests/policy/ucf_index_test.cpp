// The run directory of a URL table against the table itself: every record
// is found, nothing else is, whatever the run lengths, equal digest
// prefixes across blocks, or a table that is not sorted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "policy/ucf_format.h"
#include "policy/ucf_index.h"

namespace {

using record = std::vector<unsigned char>;

record make(int level, unsigned length, std::mt19937 &rng, unsigned shared_prefix = 0)
{
    ucf_url_key k;
    k.level = static_cast<int8_t>(level);
    k.length = static_cast<uint16_t>(length);
    for (auto &b : k.digest)
        b = static_cast<unsigned char>(rng());
    if (shared_prefix)
        memset(k.digest, 0x5a, shared_prefix);
    record r(UCF_URL_RECORD);
    ucf_key_write(k, r.data());
    return r;
}

ucf_url_key key_of(const unsigned char *r)
{
    ucf_url_key k;
    k.level = static_cast<int8_t>(r[0]);
    k.length = ucf_get16(r + 1);
    memcpy(k.digest, r + 3, UCF_DIGEST_SIZE);
    return k;
}

// Sorted the way the table is: ucf_key_compare order.
void sort_table(std::vector<record> &t)
{
    std::sort(t.begin(), t.end(), [](const record &a, const record &b) {
        return ucf_key_compare(key_of(a.data()), b.data()) < 0;
    });
}

std::vector<unsigned char> flat(const std::vector<record> &t)
{
    std::vector<unsigned char> out;
    for (const record &r : t)
        out.insert(out.end(), r.begin(), r.end());
    return out;
}

// Every record is found at its own place; a key one bit away is not found.
void expect_exact(const std::vector<unsigned char> &bytes, const ucf_index &idx)
{
    for (size_t off = 0; off + UCF_URL_RECORD <= bytes.size(); off += UCF_URL_RECORD) {
        ucf_url_key k = key_of(bytes.data() + off);
        const unsigned char *found = idx.find(k);
        ASSERT_NE(found, nullptr) << off;
        EXPECT_EQ(memcmp(found, bytes.data() + off, UCF_URL_RECORD), 0);
        k.digest[15] ^= 1;
        const unsigned char *other = idx.find(k);
        if (other) {
            EXPECT_EQ(ucf_key_compare(k, other), 0);  // only a record that really is that key
        }
    }
}

}  // namespace

TEST(ucf_index, runs_of_every_length_and_missing_pairs)
{
    std::mt19937 rng(12345);
    std::vector<record> t;
    // Runs shorter than, equal to and longer than a block, negative levels,
    // levels above 127 (stored as negative bytes).
    struct {
        int level;
        unsigned length, count;
    } runs[] = {{-2, 3, 1},  {-1, 0, 63},   {1, 0, 64},   {1, 1, 65},   {2, 0, 1000},
                {2, 7, 129}, {3, 65535, 2}, {200, 4, 70}, {253, 0, 1}};
    for (const auto &r : runs)
        for (unsigned i = 0; i < r.count; ++i)
            t.push_back(make(r.level, r.length, rng));
    sort_table(t);
    std::vector<unsigned char> bytes = flat(t);
    ucf_index idx;
    idx.build(bytes.data(), bytes.data() + bytes.size(), UCF_URL_RECORD);
    expect_exact(bytes, idx);

    // A (level, length) without records, before, between and after the runs.
    for (auto pair : {std::make_pair(-3, 0u), std::make_pair(1, 2u), std::make_pair(2, 6u), std::make_pair(127, 0u)}) {
        record r = make(pair.first, pair.second, rng);
        EXPECT_EQ(idx.find(key_of(r.data())), nullptr) << pair.first << "/" << pair.second;
    }
    ucf_index empty;
    empty.build(nullptr, nullptr, UCF_URL_RECORD);
    EXPECT_EQ(empty.find(key_of(bytes.data())), nullptr);
}

TEST(ucf_index, equal_prefixes_across_blocks_and_a_table_out_of_order)
{
    std::mt19937 rng(7);
    // 300 records of one run sharing their first eight digest bytes: the
    // prefixes of several blocks are equal.
    std::vector<record> t;
    for (int i = 0; i < 300; ++i)
        t.push_back(make(2, 0, rng, 8));
    for (int i = 0; i < 300; ++i)
        t.push_back(make(2, 0, rng));
    sort_table(t);
    std::vector<unsigned char> bytes = flat(t);
    ucf_index idx;
    idx.build(bytes.data(), bytes.data() + bytes.size(), UCF_URL_RECORD);
    expect_exact(bytes, idx);

    // Runs out of order: the directory is not used, and a search by halving
    // still finds a record it passes on its way.
    std::vector<record> u = {make(3, 0, rng), make(1, 0, rng), make(2, 0, rng)};
    std::vector<unsigned char> ub = flat(u);
    ucf_index uidx;
    uidx.build(ub.data(), ub.data() + ub.size(), UCF_URL_RECORD);
    EXPECT_NE(uidx.find(key_of(ub.data() + UCF_URL_RECORD)), nullptr);
    // A trailing partial record is not a record.
    bytes.resize(bytes.size() + 5, 0);
    ucf_index part;
    part.build(bytes.data(), bytes.data() + bytes.size(), UCF_URL_RECORD);
    expect_exact(std::vector<unsigned char>(bytes.begin(), bytes.end() - 5), part);
}
