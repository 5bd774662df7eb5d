// The URL-category file format: header fields, section numbers, record
// sizes, the order of URL records and the category names. Shared by the
// loader, the matcher and the category-file builder so that all three read
// and write the same bytes. Definitions only; no I/O, no state.
#ifndef TVX_POLICY_UCF_FORMAT_H
#define TVX_POLICY_UCF_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// Layout, all integers unsigned big-endian, offsets from the first byte:
//   0        magic "UCF\0"
//   4        N, entries of the section table
//   8        section table: N start offsets (0: section absent)
//   8+4N     10 bytes, not interpreted
//   18+4N    type string up to a zero byte: a category name, or
//            "whitelist_" and a category name
//   ...      sections; section i ends where the next non-zero offset of
//            a later table entry begins (the last entry marks the end)
//   size-40  signature: DSA r (20 bytes) and s (20 bytes) over SHA-1 of
//            every byte before it
constexpr unsigned char ucf_magic[4] = {'U', 'C', 'F', 0};
constexpr size_t UCF_SIGNATURE_SIZE = 40;
constexpr size_t UCF_SIGNATURE_HALF = 20;
constexpr size_t UCF_MIN_SIZE = 44;
constexpr size_t UCF_TABLE_OFFSET = 8;
constexpr size_t UCF_RESERVED_SIZE = 10;
constexpr const char *UCF_WHITE_PREFIX = "whitelist_";

// Header size for a table of n entries: where the type string begins.
constexpr uint64_t ucf_header_size(uint64_t n) { return UCF_TABLE_OFFSET + 4 * n + UCF_RESERVED_SIZE; }

enum ucf_section : int {
    UCF_SEC_GROUPS = 0,      // parameter groups: count byte c, c digests
    UCF_SEC_SUBSTRINGS = 1,  // zero-terminated patterns, back to back
    UCF_SEC_IPV4 = 2,        // 4 address bytes, sorted bytewise
    UCF_SEC_IPV6 = 3,        // MD5 of the 16 address bytes, sorted bytewise
    UCF_SEC_URLS = 4,        // url records, sorted by ucf_key_compare
    UCF_SEC_URL_PARAMS = 5,  // url records with a group offset and count
    UCF_SECTION_COUNT = 6,
};

constexpr size_t UCF_DIGEST_SIZE = 16;
constexpr size_t UCF_IPV4_RECORD = 4;
constexpr size_t UCF_IPV6_RECORD = UCF_DIGEST_SIZE;
constexpr size_t UCF_URL_RECORD = 1 + 2 + UCF_DIGEST_SIZE;        // level, length, digest
constexpr size_t UCF_URL_PARAMS_RECORD = UCF_URL_RECORD + 4 + 4;  // + group offset, group count

// Digest levels: an IPv4 or IPv6 address as key base, or the number of
// trailing host-name labels.
constexpr int UCF_LEVEL_IPV4 = -1;
constexpr int UCF_LEVEL_IPV6 = -2;
constexpr int UCF_LEVEL_NAME_MAX = 253;

// The categories, in the order they are checked; the index is also the
// category's Block* switch.
constexpr int UCF_CATEGORY_COUNT = 11;
constexpr const char *ucf_category_names[UCF_CATEGORY_COUNT] = {
    "porno",     "violence", "weapon", "gamble",        "drugs",   "obscenity",
    "chats",     "terrorism", "e-mail", "socialnetwork", "malware",
};

inline uint32_t ucf_get32(const unsigned char *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint16_t ucf_get16(const unsigned char *p) { return uint16_t((p[0] << 8) | p[1]); }
inline void ucf_put32(unsigned char *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void ucf_put16(unsigned char *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// The sort key of a URL record: level (signed), resource length, digest of
// the key base followed by the resource prefix.
struct ucf_url_key {
    int8_t level = 0;
    uint16_t length = 0;
    unsigned char digest[UCF_DIGEST_SIZE] = {};
};

// Orders a key against the first UCF_URL_RECORD bytes of a record: level as
// a signed byte, then length, then digest bytewise.
inline int ucf_key_compare(const ucf_url_key &k, const unsigned char *record)
{
    int level = static_cast<int8_t>(record[0]);
    if (k.level != level)
        return k.level < level ? -1 : 1;
    uint16_t length = ucf_get16(record + 1);
    if (k.length != length)
        return k.length < length ? -1 : 1;
    return memcmp(k.digest, record + 3, UCF_DIGEST_SIZE);
}

inline void ucf_key_write(const ucf_url_key &k, unsigned char *record)
{
    record[0] = static_cast<unsigned char>(k.level);
    ucf_put16(record + 1, k.length);
    memcpy(record + 3, k.digest, UCF_DIGEST_SIZE);
}

#endif
