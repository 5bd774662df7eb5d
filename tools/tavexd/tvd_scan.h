// Judging one object as it streams by: byte patterns found across block
// boundaries, MD5 and SHA-256 of the whole object, and the cure that cuts
// patterns out. Memory stays bounded by one block plus the longest pattern.
#ifndef TVD_SCAN_H
#define TVD_SCAN_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tvd_sigdb.h"

typedef struct evp_md_ctx_st EVP_MD_CTX;

enum : size_t { TVD_BLOCK = 65536 };

class tvd_scanner {
public:
    explicit tvd_scanner(const tvd_sigdb &db);
    ~tvd_scanner();
    tvd_scanner(const tvd_scanner &) = delete;
    tvd_scanner &operator=(const tvd_scanner &) = delete;

    void feed(const unsigned char *data, size_t len);
    // Closes the digests and settles the digest and match-anything entries.
    void finish();
    // One flag per signature of the set, in set order.
    const std::vector<bool> &hits() const { return hits_; }
    uint64_t size() const { return size_; }

private:
    void feed_block(const unsigned char *data, size_t len);

    const tvd_sigdb &db_;
    std::vector<bool> hits_;
    std::vector<unsigned char> window_;  // tail of the previous block, then the new one
    size_t carry_ = 0;
    EVP_MD_CTX *md5_ = nullptr;
    EVP_MD_CTX *sha256_ = nullptr;
    uint64_t size_ = 0;
};

// Reads up to len bytes into buf: the count, 0 at the end, -1 on error.
typedef std::function<long(unsigned char *buf, size_t len)> tvd_reader;
// Takes len bytes; false stops the copy.
typedef std::function<bool(const unsigned char *buf, size_t len)> tvd_writer;

// Copies an object leaving out every occurrence of the patterns: the leftmost
// occurrence goes first, the longer pattern at a tie, and removed ranges never
// overlap. Bytes are written only after they were read, so the writer may
// rewrite the same file in place. False on a read or write failure.
bool tvd_cure_remove(const std::vector<std::string> &patterns, const tvd_reader &read, const tvd_writer &write,
                     uint64_t *written);

#endif
