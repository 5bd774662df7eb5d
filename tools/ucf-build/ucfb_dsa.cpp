// Key generation, key checks and signing with BN_* calls only (OpenSSL 3
// will not generate or accept 512-bit DSA domain parameters through its
// key-generation interface). Secret values carry BN_FLG_CONSTTIME and are
// freed with BN_clear_free.
#include "ucfb_dsa.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>

#include "policy/ucf_format.h"
#include "ucfb_digest.h"
#include "ucfb_limits.h"

namespace {

// A BN_CTX for the length of one call.
struct bn_ctx {
    BN_CTX *ctx = BN_CTX_secure_new();
    ~bn_ctx() { BN_CTX_free(ctx); }
};

// A BIGNUM for the length of one call, cleared when freed.
struct bn_tmp {
    BIGNUM *v = BN_new();
    ~bn_tmp() { BN_clear_free(v); }
    operator BIGNUM *() const { return v; }
};

bool is_prime(const BIGNUM *n, BN_CTX *ctx) { return BN_check_prime(n, ctx, nullptr) == 1; }

// r = [1, q-1], drawn from the private random generator.
bool random_below_q(BIGNUM *r, const BIGNUM *q, BN_CTX *ctx)
{
    bn_tmp q1;
    return q1.v && BN_sub(q1, q, BN_value_one()) && BN_priv_rand_range_ex(r, q1, 0, ctx) &&
           BN_add_word(r, 1);
}

bool make_q(BIGNUM *q, BN_CTX *ctx)
{
    return BN_generate_prime_ex2(q, UCFB_Q_BITS, 0, nullptr, nullptr, nullptr, ctx) == 1 &&
           BN_num_bits(q) == UCFB_Q_BITS;
}

// p = X - (X mod 2q) + 1 for random 512-bit X until p is a 512-bit prime;
// false when UCFB_P_TRIES candidates were not.
bool make_p(BIGNUM *p, const BIGNUM *q, BN_CTX *ctx, bool &failed)
{
    bn_tmp two_q, x, c;
    failed = !two_q.v || !x.v || !c.v || !BN_lshift1(two_q, q);
    for (int i = 0; !failed && i < UCFB_P_TRIES; ++i) {
        if (!BN_rand_ex(x, UCFB_P_BITS, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY, 0, ctx) || !BN_mod(c, x, two_q, ctx) ||
            !BN_sub(p, x, c) || !BN_add_word(p, 1)) {
            failed = true;
            break;
        }
        if (BN_num_bits(p) == UCFB_P_BITS && is_prime(p, ctx))
            return true;
    }
    return false;
}

// g = h^((p-1)/q) mod p for h = 2, 3, ... until g > 1.
bool make_g(BIGNUM *g, const BIGNUM *p, const BIGNUM *q, BN_CTX *ctx)
{
    bn_tmp e, h, rem;
    if (!e.v || !h.v || !rem.v || !BN_sub(e, p, BN_value_one()) || !BN_div(e, rem, e, q, ctx) || !BN_is_zero(rem) ||
        !BN_set_word(h, 2))
        return false;
    for (;;) {
        if (!BN_mod_exp(g, h, e, p, ctx))
            return false;
        if (!BN_is_one(g))
            return true;
        if (!BN_add_word(h, 1))
            return false;
    }
}

bool read_hex(BIGNUM *n, const std::string &hex)
{
    BIGNUM *out = n;
    return !hex.empty() && BN_hex2bn(&out, hex.c_str()) == static_cast<int>(hex.size());
}

std::string hex_of(const BIGNUM *n)
{
    char *h = BN_bn2hex(n);
    std::string s = h ? h : "";
    OPENSSL_free(h);
    return s;
}

}  // namespace

ucfb_dsa::ucfb_dsa() : p(BN_new()), q(BN_new()), g(BN_new()), y(BN_new()), x(BN_secure_new())
{
    if (x)
        BN_set_flags(x, BN_FLG_CONSTTIME);
}

ucfb_dsa::~ucfb_dsa()
{
    BN_free(p);
    BN_free(q);
    BN_free(g);
    BN_free(y);
    BN_clear_free(x);
}

ucfb_rc ucfb_dsa_generate(ucfb_dsa &key, std::string &err)
{
    bn_ctx c;
    if (!c.ctx || !key.allocated()) {
        err = "out of memory";
        return UCFB_ERR_CRYPTO;
    }
    bool failed = false;
    do {
        if (!make_q(key.q, c.ctx)) {
            failed = true;
            break;
        }
    } while (!make_p(key.p, key.q, c.ctx, failed) && !failed);
    if (failed || !make_g(key.g, key.p, key.q, c.ctx) || !random_below_q(key.x, key.q, c.ctx) ||
        !BN_mod_exp(key.y, key.g, key.x, key.p, c.ctx)) {
        err = "OpenSSL failed to make the key";
        return UCFB_ERR_CRYPTO;
    }
    return UCFB_OK;
}

ucfb_rc ucfb_dsa_from_text(const ucf_dsa_key &text, bool need_private, ucfb_dsa &key, std::string &err)
{
    bn_ctx c;
    bn_tmp t, rem;
    if (!c.ctx || !key.allocated() || !t.v || !rem.v) {
        err = "out of memory";
        return UCFB_ERR_CRYPTO;
    }
    if (!read_hex(key.p, text.p) || !read_hex(key.q, text.q) || !read_hex(key.g, text.g) || !read_hex(key.y, text.y)) {
        err = "p, q, g or y is not a hexadecimal number";
        return UCFB_ERR_KEY;
    }
    if (BN_num_bits(key.p) != UCFB_P_BITS || BN_num_bits(key.q) != UCFB_Q_BITS) {
        err = "p has " + std::to_string(BN_num_bits(key.p)) + " bits and q " + std::to_string(BN_num_bits(key.q)) +
              "; the daemon's keys have " + std::to_string(UCFB_P_BITS) + " and " + std::to_string(UCFB_Q_BITS);
        return UCFB_ERR_KEY;
    }
    if (!is_prime(key.p, c.ctx) || !is_prime(key.q, c.ctx) || !BN_sub(t, key.p, BN_value_one()) ||
        !BN_mod(rem, t, key.q, c.ctx) || !BN_is_zero(rem)) {
        err = "p and q are not primes with q dividing p - 1";
        return UCFB_ERR_KEY;
    }
    if (BN_cmp(key.g, BN_value_one()) <= 0 || BN_cmp(key.g, key.p) >= 0 || !BN_mod_exp(t, key.g, key.q, key.p, c.ctx) ||
        !BN_is_one(t)) {
        err = "g is not of order q";
        return UCFB_ERR_KEY;
    }
    if (BN_cmp(key.y, BN_value_one()) <= 0 || BN_cmp(key.y, key.p) >= 0) {
        err = "y is not below p";
        return UCFB_ERR_KEY;
    }
    BN_zero(key.x);
    if (!need_private)
        return UCFB_OK;
    if (!read_hex(key.x, text.x)) {
        err = text.x.empty() ? "the key has no private value x" : "x is not a hexadecimal number";
        return UCFB_ERR_KEY;
    }
    if (BN_is_zero(key.x) || BN_cmp(key.x, key.q) >= 0 || !BN_mod_exp(t, key.g, key.x, key.p, c.ctx) ||
        BN_cmp(t, key.y) != 0) {
        err = "x is not the private value of y";
        return UCFB_ERR_KEY;
    }
    return UCFB_OK;
}

ucf_dsa_key ucfb_dsa_to_text(const ucfb_dsa &key)
{
    ucf_dsa_key t;
    t.p = hex_of(key.p);
    t.q = hex_of(key.q);
    t.g = hex_of(key.g);
    t.y = hex_of(key.y);
    if (!BN_is_zero(key.x))
        t.x = hex_of(key.x);
    return t;
}

ucfb_rc ucfb_dsa_sign(const ucfb_dsa &key, const unsigned char *data, size_t len, unsigned char *sig,
                      std::string &err)
{
    unsigned char h[UCFB_SHA1_SIZE];
    bn_ctx c;
    bn_tmp hn, k, r, s, kinv;
    if (!ucfb_sha1(data, len, h) || !c.ctx || !hn.v || !k.v || !r.v || !s.v || !kinv.v ||
        !BN_bin2bn(h, sizeof h, hn)) {
        err = "OpenSSL failed to hash the file";
        return UCFB_ERR_CRYPTO;
    }
    BN_set_flags(k, BN_FLG_CONSTTIME);
    for (;;) {
        // r = (g^k mod p) mod q, s = k^-1 (H + x r) mod q; a zero r or s is drawn again.
        bool ok = random_below_q(k, key.q, c.ctx) && BN_mod_exp(r, key.g, k, key.p, c.ctx) &&
                  BN_nnmod(r, r, key.q, c.ctx) && BN_mod_mul(s, key.x, r, key.q, c.ctx) &&
                  BN_mod_add(s, s, hn, key.q, c.ctx) && BN_mod_inverse(kinv, k, key.q, c.ctx) &&
                  BN_mod_mul(s, s, kinv, key.q, c.ctx);
        if (!ok) {
            err = "OpenSSL failed to sign";
            return UCFB_ERR_CRYPTO;
        }
        if (!BN_is_zero(r) && !BN_is_zero(s))
            break;
    }
    if (BN_bn2binpad(r, sig, UCF_SIGNATURE_HALF) != static_cast<int>(UCF_SIGNATURE_HALF) ||
        BN_bn2binpad(s, sig + UCF_SIGNATURE_HALF, UCF_SIGNATURE_HALF) != static_cast<int>(UCF_SIGNATURE_HALF)) {
        err = "a signature value does not fit 20 bytes";
        return UCFB_ERR_CRYPTO;
    }
    return UCFB_OK;
}
