// The MD5 compression function and padding of RFC 1321, written for short
// keys: the state lives in the object, the last partial block is kept in
// it, and finishing works on a copy.
#include "util/md5.h"

#include <cstring>

namespace {

const uint32_t md5_k[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

const unsigned md5_r[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};

inline uint32_t rotl(uint32_t x, unsigned c) { return (x << c) | (x >> (32 - c)); }

void md5_compress(uint32_t st[4], const unsigned char *blk)
{
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = uint32_t(blk[4 * i]) | (uint32_t(blk[4 * i + 1]) << 8) | (uint32_t(blk[4 * i + 2]) << 16) |
               (uint32_t(blk[4 * i + 3]) << 24);
    uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
    for (unsigned i = 0; i < 64; ++i) {
        uint32_t f;
        unsigned g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) & 15;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) & 15;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) & 15;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl(a + f + md5_k[i] + m[g], md5_r[i]);
        a = t;
    }
    st[0] += a;
    st[1] += b;
    st[2] += c;
    st[3] += d;
}

}  // namespace

void tvx_md5::reset()
{
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
    length = 0;
}

void tvx_md5::update(const void *data, size_t len)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t have = static_cast<size_t>(length & 63);
    length += len;
    if (have) {
        size_t take = 64 - have < len ? 64 - have : len;
        memcpy(block + have, p, take);
        p += take;
        len -= take;
        if (have + take < 64)
            return;
        md5_compress(state, block);
    }
    for (; len >= 64; p += 64, len -= 64)
        md5_compress(state, p);
    if (len)
        memcpy(block, p, len);
}

void tvx_md5::digest(unsigned char out[TVX_MD5_SIZE]) const
{
    uint32_t st[4] = {state[0], state[1], state[2], state[3]};
    unsigned char tail[128];
    size_t have = static_cast<size_t>(length & 63);
    memcpy(tail, block, have);
    tail[have] = 0x80;
    size_t total = have < 56 ? 64 : 128;
    memset(tail + have + 1, 0, total - have - 1);
    uint64_t bits = length * 8;
    for (int i = 0; i < 8; ++i)
        tail[total - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    md5_compress(st, tail);
    if (total == 128)
        md5_compress(st, tail + 64);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            out[4 * i + j] = static_cast<unsigned char>(st[i] >> (8 * j));
}

void tvx_md5_of(const void *data, size_t len, unsigned char out[TVX_MD5_SIZE])
{
    tvx_md5 m;
    m.update(data, len);
    m.digest(out);
}
