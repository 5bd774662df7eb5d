// The two digests of a category file through OpenSSL's EVP interface: MD5
// of record keys and parameters, reusing one context for every record, and
// SHA-1 of the signed bytes. Hashes what it is handed; keeps nothing.
#ifndef TVX_UCFB_DIGEST_H
#define TVX_UCFB_DIGEST_H

#include <cstddef>
#include <string>
#include <string_view>

#include "ucfb_result.h"

typedef struct evp_md_st EVP_MD;
typedef struct evp_md_ctx_st EVP_MD_CTX;

constexpr size_t UCFB_SHA1_SIZE = 20;

class ucfb_md5 {
public:
    ucfb_md5() = default;
    ~ucfb_md5();
    ucfb_md5(const ucfb_md5 &) = delete;
    ucfb_md5 &operator=(const ucfb_md5 &) = delete;

    ucfb_rc init(std::string &err);
    // MD5 of a followed by b into out (16 bytes).
    void digest(std::string_view a, std::string_view b, unsigned char *out);

private:
    EVP_MD *md_ = nullptr;
    EVP_MD_CTX *ctx_ = nullptr;
};

// SHA-1 of len bytes into out (UCFB_SHA1_SIZE bytes).
bool ucfb_sha1(const unsigned char *data, size_t len, unsigned char *out);

#endif
