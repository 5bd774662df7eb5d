// Splitting a decoded URL for the category match. Reads only the given
// length of text; parameter pieces are hashed as they are found.
#include "policy/ucf_url.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <string>

#include "log/log.h"

namespace {

// The longest host text tried as an address.
constexpr size_t address_text_max = 46;

// Host of [begin, end) as an address: IPv4, IPv6 (bracketed as URLs write
// it, or bare), or neither.
int host_address(const char *host, size_t len, unsigned char *out)
{
    if (len >= 2 && host[0] == '[' && host[len - 1] == ']') {
        ++host;
        len -= 2;
    }
    char buf[address_text_max + 1];
    size_t n = std::min(len, address_text_max);
    memcpy(buf, host, n);
    buf[n] = '\0';
    if (inet_pton(AF_INET, buf, out) == 1)
        return UCF_HOST_IPV4;
    if (inet_pton(AF_INET6, buf, out) == 1)
        return UCF_HOST_IPV6;
    return UCF_HOST_NAME;
}

}  // namespace

void ParsedUrl::parse(const char *t, size_t len)
{
    text = t;
    length = len;
    const char *slash = static_cast<const char *>(memchr(t, '/', len));
    resource_offset = slash ? static_cast<size_t>(slash - t) : len;

    size_t host = resource_offset;
    const char *colon = static_cast<const char *>(memrchr(t, ':', host));
    if (colon) {
        size_t c = static_cast<size_t>(colon - t);
        bool port = true;
        for (size_t i = c + 1; i < host; ++i)
            if (t[i] < '0' || t[i] > '9')
                port = false;
        if (port)
            host = c;
    }
    m_hostname_length = host;

    m_resource = 0;
    m_params = t + len;
    m_params_length = 0;
    param_digests.clear();
    if (slash) {
        const char *q = static_cast<const char *>(memchr(slash, '?', len - resource_offset));
        m_resource = q ? static_cast<size_t>(q - slash) : len - resource_offset;
        if (q) {
            m_params = q + 1;
            m_params_length = static_cast<size_t>(t + len - m_params);
        }
    }
    if (m_params_length) {
        const char *p = m_params, *end = m_params + m_params_length;
        for (;;) {
            const char *amp = static_cast<const char *>(memchr(p, '&', static_cast<size_t>(end - p)));
            const char *piece_end = amp ? amp : end;
            digest d;
            tvx_md5_of(p, static_cast<size_t>(piece_end - p), d.data());
            param_digests.push_back(d);
            if (!amp)
                break;
            p = amp + 1;
        }
        std::sort(param_digests.begin(), param_digests.end());
    }

    m_ip_type = host_address(t, m_hostname_length, address);
    if (log_enabled(LOG_L_TRACE)) {
        std::string params(m_params, m_params_length);
        icapd_log(LOG_L_TRACE, "m_params=%s, m_hostname_length=%i m_resource=%i m_ip_type=%i\n", params.c_str(),
                  static_cast<int>(m_hostname_length), static_cast<int>(m_resource), m_ip_type);
    }
}

bool ParsedUrl::has_param(const unsigned char *d) const
{
    digest key;
    memcpy(key.data(), d, key.size());
    return std::binary_search(param_digests.begin(), param_digests.end(), key);
}
