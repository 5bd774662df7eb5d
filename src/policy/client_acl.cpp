// Client access check of the listener: the peer's address text against
// the resolved AclList entries. Never reads more of the address than the
// length accept() gave.
#include "policy/client_acl.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

#include "log/log.h"

std::string acl_address_text(const sockaddr *peer, socklen_t len)
{
    char buf[INET6_ADDRSTRLEN];
    const char *s = nullptr;
    if (peer && len >= static_cast<socklen_t>(sizeof(sockaddr_in)) && peer->sa_family == AF_INET) {
        sockaddr_in sin;
        memcpy(&sin, peer, sizeof sin);
        s = inet_ntop(AF_INET, &sin.sin_addr, buf, sizeof buf);
    } else if (peer && len >= static_cast<socklen_t>(sizeof(sockaddr_in6)) && peer->sa_family == AF_INET6) {
        sockaddr_in6 sin6;
        memcpy(&sin6, peer, sizeof sin6);
        // A dual-stack socket shows an IPv4 client as ::ffff:a.b.c.d; the
        // list holds it as a.b.c.d.
        if (IN6_IS_ADDR_V4MAPPED(&sin6.sin6_addr))
            s = inet_ntop(AF_INET, &sin6.sin6_addr.s6_addr[12], buf, sizeof buf);
        else
            s = inet_ntop(AF_INET6, &sin6.sin6_addr, buf, sizeof buf);
    }
    return s ? std::string(s) : std::string("?");
}

bool acl_admits(const sockaddr *peer, socklen_t len, const host_list &list)
{
    std::string text = acl_address_text(peer, len);
    if (text != "?") {
        for (const host_entry &e : list) {
            if (e.type == HOST_ENTRY_IP_STR && e.text == text) {
                icapd_log(LOG_L_TRACE, "Find ip %s in acl\n", text.c_str());
                return true;
            }
        }
    }
    icapd_log(LOG_L_ERROR, "Block ip %s: not in acl\n", text.c_str());
    return false;
}
