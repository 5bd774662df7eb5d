// DSA arithmetic of the category-file keys on OpenSSL BIGNUMs: a new key
// pair of the daemon's form (512-bit p, 160-bit q), the check of a key read
// from text, and signatures of 20-byte r and s. Never touches a file; the
// private value is cleared when its object goes.
#ifndef TVX_UCFB_DSA_H
#define TVX_UCFB_DSA_H

#include <cstddef>
#include <string>

#include "policy/ucf_key.h"
#include "ucfb_result.h"

typedef struct bignum_st BIGNUM;

struct ucfb_dsa {
    ucfb_dsa();
    ~ucfb_dsa();
    ucfb_dsa(const ucfb_dsa &) = delete;
    ucfb_dsa &operator=(const ucfb_dsa &) = delete;
    bool allocated() const { return p && q && g && y && x; }

    BIGNUM *p, *q, *g, *y, *x;  // x is zero in a public key
};

// FIPS 186-2 style: q a 160-bit prime, p = X - (X mod 2q) + 1 a 512-bit
// prime, g = h^((p-1)/q) mod p > 1, x random in [1, q-1], y = g^x mod p.
ucfb_rc ucfb_dsa_generate(ucfb_dsa &key, std::string &err);

// Reads the hexadecimal values and checks that they make a key of the
// daemon's form; with need_private, that x is there and y = g^x mod p.
ucfb_rc ucfb_dsa_from_text(const ucf_dsa_key &text, bool need_private, ucfb_dsa &key, std::string &err);

// Upper-case hexadecimal texts; x only when the key has one.
ucf_dsa_key ucfb_dsa_to_text(const ucfb_dsa &key);

// r and s of SHA-1 over the len bytes, each as 20 bytes big-endian, into sig.
ucfb_rc ucfb_dsa_sign(const ucfb_dsa &key, const unsigned char *data, size_t len, unsigned char *sig,
                      std::string &err);

#endif
