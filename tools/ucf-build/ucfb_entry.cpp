// List line to entry: scheme and port dropped, the host classified as IPv4
// (inet_pton AF_INET), IPv6 (in brackets or bare, AF_INET6) or a name, the
// path kept as written, the query cut at "&". Rejects what the daemon could
// never look up rather than guessing what was meant.
#include "ucfb_entry.h"

#include <arpa/inet.h>
#include <cstring>
#include <strings.h>

#include "ucfb_limits.h"

namespace {

constexpr size_t k_port_digits_max = 5;

bool starts_with_nocase(std::string_view s, const char *prefix)
{
    size_t n = strlen(prefix);
    return s.size() >= n && strncasecmp(s.data(), prefix, n) == 0;
}

bool host_name_byte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c >= 0x80;
}

// inet_pton wants a NUL-terminated text; a host is never longer than a line.
bool parse_address(int family, std::string_view text, unsigned char *out)
{
    char buf[UCFB_LINE_MAX + 1];
    if (text.size() > UCFB_LINE_MAX)
        return false;
    memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    return inet_pton(family, buf, out) == 1;
}

// ":" and a port number, or nothing.
bool port_ok(std::string_view s)
{
    if (s.empty())
        return true;
    if (s[0] != ':' || s.size() < 2 || s.size() > 1 + k_port_digits_max)
        return false;
    for (size_t i = 1; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

ucfb_entry_rc parse_host(std::string_view host, ucfb_entry &e, bool &is_address)
{
    unsigned char addr[16];
    is_address = false;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string_view::npos || !parse_address(AF_INET6, host.substr(1, close - 1), addr))
            return UCFB_ENTRY_BAD_IPV6;
        if (!port_ok(host.substr(close + 1)))
            return UCFB_ENTRY_BAD_PORT;
        e.level = UCF_LEVEL_IPV6;
        e.base.assign(reinterpret_cast<const char *>(addr), 16);
        is_address = true;
        return UCFB_ENTRY_OK;
    }
    if (host.find(':') != host.rfind(':') && parse_address(AF_INET6, host, addr)) {
        e.level = UCF_LEVEL_IPV6;
        e.base.assign(reinterpret_cast<const char *>(addr), 16);
        is_address = true;
        return UCFB_ENTRY_OK;
    }
    size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) {
        if (!port_ok(host.substr(colon)))
            return UCFB_ENTRY_BAD_PORT;
        host = host.substr(0, colon);
    }
    if (host.empty())
        return UCFB_ENTRY_EMPTY_HOST;
    if (parse_address(AF_INET, host, addr)) {
        e.level = UCF_LEVEL_IPV4;
        e.base.assign(reinterpret_cast<const char *>(addr), 4);
        is_address = true;
        return UCFB_ENTRY_OK;
    }
    if (host.back() == '.')
        host.remove_suffix(1);
    if (host.empty())
        return UCFB_ENTRY_EMPTY_HOST;
    size_t labels = 1;
    e.base.clear();
    for (size_t i = 0; i < host.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(host[i]);
        if (!host_name_byte(c))
            return UCFB_ENTRY_HOST_CHARACTER;
        if (c == '.') {
            if (i == 0 || host[i - 1] == '.')
                return UCFB_ENTRY_EMPTY_LABEL;
            ++labels;
        }
        e.base.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c));
    }
    if (labels > UCFB_LABELS_MAX)
        return UCFB_ENTRY_TOO_MANY_LABELS;
    e.level = static_cast<int>(labels);
    return UCFB_ENTRY_OK;
}

ucfb_entry_rc parse_query(std::string_view query, ucfb_entry &e)
{
    e.pieces.clear();
    size_t start = 0;
    for (;;) {
        size_t amp = query.find('&', start);
        std::string_view piece = query.substr(start, amp == std::string_view::npos ? amp : amp - start);
        if (!piece.empty()) {
            if (e.pieces.size() == UCFB_PIECES_MAX)
                return UCFB_ENTRY_TOO_MANY_PIECES;
            e.pieces.push_back(piece);
        }
        if (amp == std::string_view::npos)
            break;
        start = amp + 1;
    }
    return e.pieces.empty() ? UCFB_ENTRY_EMPTY_QUERY : UCFB_ENTRY_OK;
}

}  // namespace

std::string ucfb_entry_reason(ucfb_entry_rc rc)
{
    switch (rc) {
    case UCFB_ENTRY_OK: return "taken";
    case UCFB_ENTRY_EMPTY_HOST: return "no host";
    case UCFB_ENTRY_BLANK: return "a blank or control character inside the entry";
    case UCFB_ENTRY_HOST_CHARACTER: return "a host name holds letters, digits, \"-\", \"_\" and \".\" only";
    case UCFB_ENTRY_EMPTY_LABEL: return "an empty label in the host name";
    case UCFB_ENTRY_TOO_MANY_LABELS:
        return "more than " + std::to_string(UCFB_LABELS_MAX) + " labels in the host name";
    case UCFB_ENTRY_BAD_IPV6: return "not an IPv6 address in brackets";
    case UCFB_ENTRY_BAD_PORT: return "a \":\" after the host is not followed by a port number";
    case UCFB_ENTRY_QUERY_NO_PATH: return "a \"?\" before the path; write host/?...";
    case UCFB_ENTRY_PATH_TOO_LONG: return "a path of more than " + std::to_string(UCFB_PATH_MAX) + " bytes";
    case UCFB_ENTRY_EMPTY_QUERY: return "a query of empty parameters";
    case UCFB_ENTRY_TOO_MANY_PIECES: return "more than " + std::to_string(UCFB_PIECES_MAX) + " parameters";
    }
    return "rejected";
}

ucfb_entry_rc ucfb_entry_parse(std::string_view line, ucfb_entry &e)
{
    for (char c : line)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            return UCFB_ENTRY_BLANK;
    if (starts_with_nocase(line, "http://"))
        line.remove_prefix(7);
    else if (starts_with_nocase(line, "https://"))
        line.remove_prefix(8);

    size_t slash = line.find('/');
    std::string_view host = line.substr(0, slash);
    std::string_view rest = slash == std::string_view::npos ? std::string_view() : line.substr(slash);
    if (host.find('?') != std::string_view::npos)
        return UCFB_ENTRY_QUERY_NO_PATH;
    if (host.empty())
        return UCFB_ENTRY_EMPTY_HOST;
    bool is_address = false;
    ucfb_entry_rc rc = parse_host(host, e, is_address);
    if (rc != UCFB_ENTRY_OK)
        return rc;

    size_t question = rest.find('?');
    e.path = rest.substr(0, question);
    if (e.path.size() > UCFB_PATH_MAX)
        return UCFB_ENTRY_PATH_TOO_LONG;
    std::string_view query = question == std::string_view::npos ? std::string_view() : rest.substr(question + 1);
    e.pieces.clear();
    if (!query.empty()) {
        rc = parse_query(query, e);
        if (rc != UCFB_ENTRY_OK)
            return rc;
        e.section = UCF_SEC_URL_PARAMS;
    } else if (is_address && rest.empty()) {
        e.section = e.level == UCF_LEVEL_IPV4 ? UCF_SEC_IPV4 : UCF_SEC_IPV6;
    } else {
        e.section = UCF_SEC_URLS;
    }
    return UCFB_ENTRY_OK;
}
