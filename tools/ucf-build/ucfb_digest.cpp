// MD5 and SHA-1 through EVP with the algorithms fetched once. A failure of
// OpenSSL on a fetched digest is not expected; digest() aborts rather than
// write a record with a wrong key.
#include "ucfb_digest.h"

#include <cstdio>
#include <cstdlib>
#include <openssl/evp.h>

ucfb_md5::~ucfb_md5()
{
    EVP_MD_CTX_free(ctx_);
    EVP_MD_free(md_);
}

ucfb_rc ucfb_md5::init(std::string &err)
{
    md_ = EVP_MD_fetch(nullptr, "MD5", nullptr);
    ctx_ = EVP_MD_CTX_new();
    if (!md_ || !ctx_) {
        err = "OpenSSL offers no MD5";
        return UCFB_ERR_CRYPTO;
    }
    return UCFB_OK;
}

void ucfb_md5::digest(std::string_view a, std::string_view b, unsigned char *out)
{
    unsigned int n = 0;
    if (EVP_DigestInit_ex2(ctx_, md_, nullptr) != 1 || EVP_DigestUpdate(ctx_, a.data(), a.size()) != 1 ||
        EVP_DigestUpdate(ctx_, b.data(), b.size()) != 1 || EVP_DigestFinal_ex(ctx_, out, &n) != 1 || n != 16) {
        fputs("ucf-build: MD5 failed\n", stderr);
        abort();
    }
}

bool ucfb_sha1(const unsigned char *data, size_t len, unsigned char *out)
{
    EVP_MD *md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    unsigned int n = 0;
    bool ok = md && EVP_Digest(data, len, out, &n, md, nullptr) == 1 && n == UCFB_SHA1_SIZE;
    EVP_MD_free(md);
    return ok;
}
