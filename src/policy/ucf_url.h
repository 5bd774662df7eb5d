// ParsedUrl: a decoded request URL cut into host, resource and parameters,
// with the digests of its parameters and its host as an address, built
// once per request and read by every category file's match. Points into
// the text it was built from; never copies or changes it.
#ifndef TVX_POLICY_UCF_URL_H
#define TVX_POLICY_UCF_URL_H

#include <array>
#include <cstddef>
#include <vector>

#include "util/md5.h"

enum ucf_ip_type : int { UCF_HOST_NAME = 1, UCF_HOST_IPV4 = 2, UCF_HOST_IPV6 = 3 };

struct ParsedUrl {
    using digest = std::array<unsigned char, TVX_MD5_SIZE>;

    const char *text = "";        // decoded URL, scheme removed; the host begins here
    size_t length = 0;            // of text
    size_t m_hostname_length = 0; // host, without a ":port"
    size_t resource_offset = 0;   // where the first "/" is (== length when none)
    size_t m_resource = 0;        // from the first "/" up to the first "?" after it
    const char *m_params = "";    // after that "?"; not terminated, m_params_length long
    size_t m_params_length = 0;
    std::vector<digest> param_digests;  // of the "&"-separated pieces, sorted
    int m_ip_type = UCF_HOST_NAME;
    unsigned char address[16] = {};     // 4 bytes for IPv4, 16 for IPv6

    // Cuts text (length bytes, NUL-terminated after them) and logs the
    // result at level 32.
    void parse(const char *text, size_t length);

    // True when d is one of the request's parameter digests.
    bool has_param(const unsigned char *d) const;
};

#endif
