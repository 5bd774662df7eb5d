// Key files: the private and public texts "--gen-key" writes (each created
// new, the private one mode 0600), the name of a private key's public half,
// and bounded reads of a key file into its texts. Holds no arithmetic.
#ifndef TVX_UCFB_KEYFILE_H
#define TVX_UCFB_KEYFILE_H

#include <string>

#include "policy/ucf_key.h"
#include "ucfb_dsa.h"
#include "ucfb_result.h"

// "NAME.private" -> "NAME.public"; any other name gets ".public" added.
std::string ucfb_public_key_path(const std::string &private_path);

// The text of a key file: a "#" header, then "p", "q", "g", "y" and, with
// with_private, "x" lines.
std::string ucfb_key_text(const ucf_dsa_key &key, bool with_private, const std::string &public_name);

// Generates a key pair and writes both files; neither may exist yet.
ucfb_rc ucfb_gen_key(const std::string &private_path, std::string &err);

// Reads and parses a key file of at most UCFB_KEY_FILE_MAX bytes.
ucfb_rc ucfb_key_read(const std::string &path, ucf_dsa_key &key, std::string &err);

#endif
