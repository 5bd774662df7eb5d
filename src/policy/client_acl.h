// The client access list: whether the peer of an accepted connection is
// one of the addresses the AclList files resolved to. Formats and compares
// addresses only; closing the connection is the listener's business.
#ifndef TVX_POLICY_CLIENT_ACL_H
#define TVX_POLICY_CLIENT_ACL_H

#include <string>
#include <sys/socket.h>

#include "policy/host_list.h"

// The address text of a socket address: dotted quad for IPv4 (also for an
// IPv4 client seen through an IPv6 socket), the standard IPv6 text form
// otherwise, "?" when it cannot be formatted.
std::string acl_address_text(const sockaddr *peer, socklen_t len);

// True when an ip_str entry of the list equals the peer's address text
// (logged at level 32); otherwise logs "Block ip ...: not in acl" at level
// 0. Called only with a non-empty list.
bool acl_admits(const sockaddr *peer, socklen_t len, const host_list &list);

#endif
