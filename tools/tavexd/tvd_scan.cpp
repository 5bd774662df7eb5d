// Streaming pattern search, digests and pattern removal for the stand-in
// scanning daemon. A pattern that straddles two blocks is still found because
// each window keeps the last (longest pattern - 1) bytes of the one before.
#include "tvd_scan.h"

#include <algorithm>
#include <cstring>
#include <openssl/evp.h>

tvd_scanner::tvd_scanner(const tvd_sigdb &db) : db_(db), hits_(db.sigs.size(), false)
{
    bool want_md5 = false, want_sha256 = false;
    for (const tvd_signature &s : db.sigs) {
        want_md5 |= s.kind == TVD_SIG_MD5;
        want_sha256 |= s.kind == TVD_SIG_SHA256;
    }
    if (want_md5) {
        md5_ = EVP_MD_CTX_new();
        if (md5_ && !EVP_DigestInit_ex(md5_, EVP_md5(), nullptr)) {
            EVP_MD_CTX_free(md5_);
            md5_ = nullptr;
        }
    }
    if (want_sha256) {
        sha256_ = EVP_MD_CTX_new();
        if (sha256_ && !EVP_DigestInit_ex(sha256_, EVP_sha256(), nullptr)) {
            EVP_MD_CTX_free(sha256_);
            sha256_ = nullptr;
        }
    }
    if (db.max_pattern)
        window_.resize(db.max_pattern - 1 + TVD_BLOCK);
}

tvd_scanner::~tvd_scanner()
{
    EVP_MD_CTX_free(md5_);
    EVP_MD_CTX_free(sha256_);
}

void tvd_scanner::feed(const unsigned char *data, size_t len)
{
    size_ += len;
    if (md5_)
        EVP_DigestUpdate(md5_, data, len);
    if (sha256_)
        EVP_DigestUpdate(sha256_, data, len);
    if (window_.empty())
        return;
    while (len > 0) {
        size_t n = std::min(len, static_cast<size_t>(TVD_BLOCK));
        feed_block(data, n);
        data += n;
        len -= n;
    }
}

void tvd_scanner::feed_block(const unsigned char *data, size_t len)
{
    memcpy(window_.data() + carry_, data, len);
    size_t have = carry_ + len;
    for (size_t i = 0; i < db_.sigs.size(); ++i) {
        const tvd_signature &s = db_.sigs[i];
        if (hits_[i] || s.kind != TVD_SIG_PATTERN)
            continue;
        if (memmem(window_.data(), have, s.match.data(), s.match.size()))
            hits_[i] = true;
    }
    carry_ = std::min(have, db_.max_pattern - 1);
    memmove(window_.data(), window_.data() + have - carry_, carry_);
}

// Closes one digest context and compares it with the entries of its kind.
static void tvd_settle_digest(EVP_MD_CTX *ctx, int kind, const tvd_sigdb &db, std::vector<bool> &hits)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!ctx || !EVP_DigestFinal_ex(ctx, md, &len))
        return;
    for (size_t i = 0; i < db.sigs.size(); ++i) {
        const tvd_signature &s = db.sigs[i];
        if (s.kind == kind && s.match.size() == len && memcmp(s.match.data(), md, len) == 0)
            hits[i] = true;
    }
}

void tvd_scanner::finish()
{
    tvd_settle_digest(md5_, TVD_SIG_MD5, db_, hits_);
    tvd_settle_digest(sha256_, TVD_SIG_SHA256, db_, hits_);
    for (size_t i = 0; i < db_.sigs.size(); ++i)
        if (db_.sigs[i].kind == TVD_SIG_ANY && size_ > 0)
            hits_[i] = true;
}

bool tvd_cure_remove(const std::vector<std::string> &patterns, const tvd_reader &read, const tvd_writer &write,
                     uint64_t *written)
{
    size_t longest = 0;
    for (const std::string &p : patterns)
        longest = std::max(longest, p.size());
    size_t keep_max = longest ? longest - 1 : 0;
    std::vector<unsigned char> buf(keep_max + TVD_BLOCK);
    size_t carry = 0;
    uint64_t out = 0;
    auto emit = [&](const unsigned char *p, size_t n) {
        if (n == 0)
            return true;
        out += n;
        return write(p, n);
    };
    for (;;) {
        long n = read(buf.data() + carry, TVD_BLOCK);
        if (n < 0)
            return false;
        bool end = n == 0;
        size_t have = carry + static_cast<size_t>(n);
        // Next known occurrence of each pattern at or after pos; have = none.
        std::vector<size_t> next(patterns.size(), 0);
        std::vector<bool> known(patterns.size(), false);
        size_t pos = 0;
        for (;;) {
            size_t best = have, best_len = 0;
            for (size_t i = 0; i < patterns.size(); ++i) {
                const std::string &p = patterns[i];
                if (!known[i] || (next[i] < have && next[i] < pos)) {
                    const void *hit = pos < have ? memmem(buf.data() + pos, have - pos, p.data(), p.size()) : nullptr;
                    next[i] = hit ? static_cast<size_t>(static_cast<const unsigned char *>(hit) - buf.data()) : have;
                    known[i] = true;
                }
                if (next[i] < best || (next[i] == best && next[i] < have && p.size() > best_len)) {
                    best = next[i];
                    best_len = p.size();
                }
            }
            if (best == have)
                break;
            // A longer pattern may start at the same byte and end in data not
            // read yet: decide on such a match with the next block.
            if (!end && have - best < longest)
                break;
            if (!emit(buf.data() + pos, best - pos))
                return false;
            pos = best + best_len;
        }
        if (end) {
            if (!emit(buf.data() + pos, have - pos))
                return false;
            break;
        }
        // An occurrence may still begin in the last keep_max bytes and end in
        // the next block: hold them back.
        size_t keep = std::min(keep_max, have - pos);
        if (!emit(buf.data() + pos, have - keep - pos))
            return false;
        memmove(buf.data(), buf.data() + have - keep, keep);
        carry = keep;
    }
    if (written)
        *written = out;
    return true;
}
