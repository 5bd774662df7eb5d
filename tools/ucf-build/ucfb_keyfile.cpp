// Key file texts in the layout of etc/keys (the repository's test key):
// comment lines first, then one "NAME HEX" line per value. The public half
// is written first, so a failure never leaves a private key without it.
#include "ucfb_keyfile.h"

#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ucfb_file.h"
#include "ucfb_limits.h"

namespace {

constexpr const char *k_private_suffix = ".private";
constexpr const char *k_public_suffix = ".public";
constexpr mode_t k_private_mode = 0600;
constexpr mode_t k_public_mode = 0644;

std::string base_name(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string ucfb_public_key_path(const std::string &private_path)
{
    const std::string suffix = k_private_suffix;
    if (private_path.size() > suffix.size() &&
        private_path.compare(private_path.size() - suffix.size(), suffix.size(), suffix) == 0)
        return private_path.substr(0, private_path.size() - suffix.size()) + k_public_suffix;
    return private_path + k_public_suffix;
}

std::string ucfb_key_text(const ucf_dsa_key &key, bool with_private, const std::string &public_name)
{
    std::string t;
    if (with_private) {
        t += "# URL-category signing key: PRIVATE HALF. Keep it secret: whoever holds it\n"
             "# can sign category files the daemon accepts. ucf-build --key signs with it;\n"
             "# the daemon is built with its public half, " + public_name + "\n"
             "# (-DTVX_UCF_PUBLIC_KEY=FILE).\n";
    } else {
        t += "# URL-category signing key: PUBLIC HALF. Build the daemon with\n"
             "# -DTVX_UCF_PUBLIC_KEY=FILE naming this file.\n";
    }
    t += "# DSA, " + std::to_string(UCFB_P_BITS) + "-bit p, " + std::to_string(UCFB_Q_BITS) +
         "-bit q; values in hexadecimal.\n";
    t += "p " + key.p + "\nq " + key.q + "\ng " + key.g + "\ny " + key.y + "\n";
    if (with_private)
        t += "x " + key.x + "\n";
    return t;
}

ucfb_rc ucfb_gen_key(const std::string &private_path, std::string &err)
{
    const std::string public_path = ucfb_public_key_path(private_path);
    for (const std::string *path : {&private_path, &public_path}) {
        struct stat st;
        if (lstat(path->c_str(), &st) == 0) {
            err = *path + " exists already; a key pair is only ever written to new files";
            return UCFB_ERR_EXISTS;
        }
    }
    ucfb_dsa key;
    ucfb_rc rc = ucfb_dsa_generate(key, err);
    if (rc != UCFB_OK)
        return rc;
    ucf_dsa_key text = ucfb_dsa_to_text(key);
    std::string pub = ucfb_key_text(text, false, "");
    rc = ucfb_write_new(public_path, pub.data(), pub.size(), k_public_mode, UCFB_KEEP_EXISTING, err);
    if (rc != UCFB_OK)
        return rc;
    std::string priv = ucfb_key_text(text, true, base_name(public_path));
    rc = ucfb_write_new(private_path, priv.data(), priv.size(), k_private_mode, UCFB_KEEP_EXISTING, err);
    if (rc != UCFB_OK)
        unlink(public_path.c_str());  // a public half without its private half is of no use
    for (std::string *secret : {&priv, &text.x})
        for (char &ch : *secret)
            ch = 0;
    return rc;
}

ucfb_rc ucfb_key_read(const std::string &path, ucf_dsa_key &key, std::string &err)
{
    std::vector<unsigned char> bytes;
    uint64_t size = 0;
    ucfb_rc rc = ucfb_read_whole(path, UCFB_KEY_FILE_MAX, bytes, size, err);
    if (rc == UCFB_ERR_TOO_BIG)
        return UCFB_ERR_KEY;
    if (rc != UCFB_OK)
        return rc;
    std::string text(bytes.begin(), bytes.end());
    if (!ucf_key_parse(text, key, err)) {
        err = path + ": " + err;
        return UCFB_ERR_KEY;
    }
    return UCFB_OK;
}
