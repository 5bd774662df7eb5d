// DSA keys of the URL-category files: the public key built into the
// daemon, and the text form of key files ("p HEX", "q HEX", "g HEX",
// "y HEX" and, in a private key, "x HEX"; "#" lines are comments) that the
// build and the category-file builder read. Holds texts only; never does
// arithmetic on them.
#ifndef TVX_POLICY_UCF_KEY_H
#define TVX_POLICY_UCF_KEY_H

#include <string>

// A DSA key as hexadecimal texts; x is empty in a public key.
struct ucf_dsa_key {
    std::string p, q, g, y, x;
};

// The key every category file must be signed with.
const ucf_dsa_key &ucf_builtin_key();

// True when the built-in key is the repository's test key.
bool ucf_builtin_key_is_test();

// Reads a key from the text of a key file. Returns false and sets err when
// a line is malformed or p, q, g or y is missing.
bool ucf_key_parse(const std::string &text, ucf_dsa_key &key, std::string &err);

#endif
