// Opening one connection to an address of a scanning-daemon or agent list.
// The scanning client and the agent channel walk their lists with it.
#ifndef TVX_CONFIG_ADDRESS_CONNECT_H
#define TVX_CONFIG_ADDRESS_CONNECT_H

#include <cstddef>

#include "config/icapd_config.h"

// Longest Unix-domain socket path used; longer paths are cut.
constexpr size_t DAEMON_ADDR_LOCAL_PATH_MAX = 103;

// Opens one blocking, close-on-exec connection; returns the descriptor or
// -1 after logging why.
int daemon_address_connect(const DaemonAddress &address);

#endif
