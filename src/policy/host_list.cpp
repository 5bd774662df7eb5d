// Reading host-list files, resolving their names and matching URLs against
// the result. A file that cannot be opened is the only error that stops a
// load; names that do not resolve are logged and left out.
#include "policy/host_list.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include "log/log.h"
#include "util/text.h"

namespace {

// The address text of a resolved address, "?" when it cannot be written.
std::string address_text(const sockaddr *sa)
{
    char buf[INET6_ADDRSTRLEN];
    const char *s = nullptr;
    if (sa->sa_family == AF_INET)
        s = inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, buf, sizeof buf);
    else if (sa->sa_family == AF_INET6)
        s = inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, buf, sizeof buf);
    return s ? std::string(s) : std::string("?");
}

// Appends an ip_str entry per address the resolver gives for text.
void add_addresses(host_list &list, const std::string &text)
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(text.c_str(), nullptr, &hints, &res);
    if (rc != 0) {
        icapd_log(LOG_L_ERROR, "dns resolver error for host: '%s': %s\n", text.c_str(), gai_strerror(rc));
        return;
    }
    for (const addrinfo *ai = res; ai; ai = ai->ai_next)
        list.push_back(host_entry{HOST_ENTRY_IP_STR, address_text(ai->ai_addr)});
    freeaddrinfo(res);
}

bool skipped_line(const std::string &line)
{
    if (line.empty() || line[0] == ';' || line[0] == '#')
        return true;
    return line.find_first_not_of(" \t\r\n\v\f") == std::string::npos;
}

// The host part of a decoded URL as the canonical text of an IP address
// ("" when it is a name): scheme and user information dropped, the port
// and the brackets of an IPv6 literal removed.
std::string url_host_address(const char *url)
{
    const char *p = url;
    const char *scheme = strstr(p, "://");
    const char *first_slash = strchr(p, '/');
    if (scheme && (!first_slash || scheme < first_slash))
        p = scheme + 3;
    size_t len = strcspn(p, "/?#");
    std::string host(p, len);
    size_t at = host.rfind('@');
    if (at != std::string::npos)
        host.erase(0, at + 1);
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos)
            return std::string();
        host = host.substr(1, close - 1);
    } else {
        size_t colon = host.find(':');
        if (colon != std::string::npos)
            host.erase(colon);
    }
    unsigned char addr[16];
    char buf[INET6_ADDRSTRLEN];
    if (inet_pton(AF_INET, host.c_str(), addr) == 1)
        return inet_ntop(AF_INET, addr, buf, sizeof buf);
    if (inet_pton(AF_INET6, host.c_str(), addr) == 1)
        return inet_ntop(AF_INET6, addr, buf, sizeof buf);
    return std::string();
}

const char *type_word(unsigned type) { return type == HOST_ENTRY_IP_STR ? "ip_str" : "host"; }

}  // namespace

void host_list_read(host_list &list, FILE *in, int mode)
{
    char buf[HOST_LIST_LINE_MAX + 2];
    while (fgets(buf, static_cast<int>(HOST_LIST_LINE_MAX + 1), in)) {
        std::string line(buf);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (skipped_line(line))
            continue;
        try {
            if (mode == HOST_LIST_NAMES || mode == HOST_LIST_BOTH)
                list.push_back(host_entry{HOST_ENTRY_HOST, line});
            if (mode == HOST_LIST_ADDRESSES || mode == HOST_LIST_BOTH)
                add_addresses(list, line);
        } catch (const std::bad_alloc &) {
            icapd_log(LOG_L_ERROR, "Error adding new element to list!!!\n");
            return;
        }
    }
}

void host_list_build(host_list &list, const std::vector<std::string> &files, int mode)
{
    for (const std::string &name : files) {
        // Non-blocking open: a FIFO named by the list must not hang the load.
        int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        FILE *in = fd >= 0 ? fdopen(fd, "r") : nullptr;
        if (!in) {
            if (fd >= 0)
                close(fd);
            icapd_log(LOG_L_ERROR, "can not open file with hosts list '%s'\n", name.c_str());
            throw host_list_error("can not open file with hosts list '" + name + "'");
        }
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0)
            fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        host_list_read(list, in, mode);
        fclose(in);
    }
}

void host_list_print(const host_list &list, const char *key)
{
    if (!log_enabled(LOG_L_FLOW))
        return;
    if (list.empty()) {
        icapd_log(LOG_L_FLOW, "Empty list %s\n", key);
        return;
    }
    icapd_log(LOG_L_FLOW, "list %s:\n", key);
    for (const host_entry &e : list)
        icapd_log(LOG_L_FLOW, " %s type: %s\n", e.text.c_str(), type_word(e.type));
}

bool is_host_in_list(const char *input, const host_list &list)
{
    if (!input || !*input || list.empty())
        return false;
    char decoded[HOST_LIST_INPUT_MAX + 1];
    tvx_url_decode(input, strnlen(input, HOST_LIST_INPUT_MAX), decoded, sizeof decoded);
    if (!decoded[0])
        return false;
    bool address_done = false;
    std::string address;
    for (const host_entry &e : list) {
        bool hit;
        if (e.type == HOST_ENTRY_IP_STR) {
            if (!address_done) {
                address = url_host_address(decoded);
                address_done = true;
            }
            hit = !address.empty() && e.text == address;
        } else {
            hit = strstr(decoded, e.text.c_str()) != nullptr;
        }
        if (hit) {
            icapd_log(LOG_L_FLOW, "is_host_in_list: addr [%s] is substr of [%s]\n", e.text.c_str(), decoded);
            return true;
        }
    }
    return false;
}
