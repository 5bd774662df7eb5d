// MD5 (RFC 1321) as a small value type: the running state can be copied
// and finished on the copy, which the URL matcher does for every prefix of
// a resource. Pure computation; no allocation, no I/O.
#ifndef TVX_UTIL_MD5_H
#define TVX_UTIL_MD5_H

#include <cstddef>
#include <cstdint>

constexpr size_t TVX_MD5_SIZE = 16;

struct tvx_md5 {
    uint32_t state[4];
    uint64_t length;  // bytes fed so far
    unsigned char block[64];

    tvx_md5() { reset(); }
    void reset();
    void update(const void *data, size_t len);
    // Writes the digest of everything fed so far; the state is left as it
    // was, so that more can be fed and finished again.
    void digest(unsigned char out[TVX_MD5_SIZE]) const;
};

// MD5 of len bytes at data.
void tvx_md5_of(const void *data, size_t len, unsigned char out[TVX_MD5_SIZE]);

#endif
