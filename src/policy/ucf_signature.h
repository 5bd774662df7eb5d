// The signature of a URL-category file: SHA-1 over every byte but the last
// 40, verified as a DSA signature (r, s, 20 bytes each, big-endian) with a
// public key. Reads the bytes it is given; never keeps or changes them.
#ifndef TVX_POLICY_UCF_SIGNATURE_H
#define TVX_POLICY_UCF_SIGNATURE_H

#include <cstddef>

#include "policy/ucf_key.h"

typedef struct evp_pkey_st EVP_PKEY;

class ucf_verifier {
public:
    // Builds the key object; ok() tells whether the values make a key.
    explicit ucf_verifier(const ucf_dsa_key &key);
    ~ucf_verifier();
    ucf_verifier(const ucf_verifier &) = delete;
    ucf_verifier &operator=(const ucf_verifier &) = delete;

    bool ok() const { return pkey_ != nullptr; }

    // True when the last 40 of the size bytes at data sign the bytes before
    // them. r or s equal to 0 or not below q is never valid.
    bool verify(const unsigned char *data, size_t size) const;

private:
    EVP_PKEY *pkey_ = nullptr;
};

// verify() with the built-in key; the key object is built on the first
// call (in the listener, before any fork) and kept.
bool ucf_signature_valid(const unsigned char *data, size_t size);

#endif
