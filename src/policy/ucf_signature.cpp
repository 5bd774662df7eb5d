// DSA verification of category files through OpenSSL's EVP interface. The
// raw r and s are re-encoded as the DER SEQUENCE OpenSSL expects; nothing
// else is parsed here. Never logs: the loader says what was wrong.
#include "policy/ucf_signature.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "policy/ucf_format.h"

namespace {

// Appends one DER INTEGER holding the unsigned big-endian value of n bytes.
size_t der_integer(const unsigned char *v, size_t n, unsigned char *out)
{
    while (n > 1 && v[0] == 0) {
        ++v;
        --n;
    }
    size_t o = 0;
    out[o++] = 0x02;
    bool pad = v[0] & 0x80;
    out[o++] = static_cast<unsigned char>(n + (pad ? 1 : 0));
    if (pad)
        out[o++] = 0;
    for (size_t i = 0; i < n; ++i)
        out[o++] = v[i];
    return o;
}

// SEQUENCE { INTEGER r, INTEGER s } of the 40 signature bytes.
size_t der_signature(const unsigned char *sig, unsigned char *out)
{
    unsigned char body[2 * (2 + 1 + UCF_SIGNATURE_HALF)];
    size_t n = der_integer(sig, UCF_SIGNATURE_HALF, body);
    n += der_integer(sig + UCF_SIGNATURE_HALF, UCF_SIGNATURE_HALF, body + n);
    out[0] = 0x30;
    out[1] = static_cast<unsigned char>(n);
    for (size_t i = 0; i < n; ++i)
        out[2 + i] = body[i];
    return n + 2;
}

bool push_hex(OSSL_PARAM_BLD *bld, const char *name, const std::string &hex, BIGNUM **bn)
{
    return BN_hex2bn(bn, hex.c_str()) == static_cast<int>(hex.size()) && OSSL_PARAM_BLD_push_BN(bld, name, *bn);
}

}  // namespace

ucf_verifier::ucf_verifier(const ucf_dsa_key &key)
{
    BIGNUM *p = nullptr, *q = nullptr, *g = nullptr, *y = nullptr;
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM *params = nullptr;
    EVP_PKEY_CTX *ctx = nullptr;
    if (bld && push_hex(bld, OSSL_PKEY_PARAM_FFC_P, key.p, &p) && push_hex(bld, OSSL_PKEY_PARAM_FFC_Q, key.q, &q) &&
        push_hex(bld, OSSL_PKEY_PARAM_FFC_G, key.g, &g) && push_hex(bld, OSSL_PKEY_PARAM_PUB_KEY, key.y, &y) &&
        (params = OSSL_PARAM_BLD_to_param(bld)) && (ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr)) &&
        EVP_PKEY_fromdata_init(ctx) > 0) {
        if (EVP_PKEY_fromdata(ctx, &pkey_, EVP_PKEY_PUBLIC_KEY, params) <= 0)
            pkey_ = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(p);
    BN_free(q);
    BN_free(g);
    BN_free(y);
}

ucf_verifier::~ucf_verifier() { EVP_PKEY_free(pkey_); }

bool ucf_verifier::verify(const unsigned char *data, size_t size) const
{
    if (!pkey_ || size < UCF_SIGNATURE_SIZE)
        return false;
    unsigned char der[2 + 2 * (2 + 1 + UCF_SIGNATURE_HALF)];
    size_t der_len = der_signature(data + size - UCF_SIGNATURE_SIZE, der);
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    bool ok = md && EVP_DigestVerifyInit_ex(md, nullptr, "SHA1", nullptr, nullptr, pkey_, nullptr) > 0 &&
              EVP_DigestVerify(md, der, der_len, data, size - UCF_SIGNATURE_SIZE) == 1;
    EVP_MD_CTX_free(md);
    return ok;
}

bool ucf_signature_valid(const unsigned char *data, size_t size)
{
    static const ucf_verifier builtin(ucf_builtin_key());
    return builtin.verify(data, size);
}
