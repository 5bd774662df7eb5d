// Connections to the scanning daemon (and, through the same list walk, to
// the agent): one address, an ordered list with the LocalScan fall-back,
// non-blocking mode and closing. Never sends or reads a byte.
#ifndef TVX_SCAN_TVX_CONNECT_H
#define TVX_SCAN_TVX_CONNECT_H

#include <vector>

#include "config/icapd_config.h"

// Opens one connection; returns the descriptor or -1.
int tvx_connect1(const DaemonAddress &address);

// Tries the list in order and returns the first connection, or -1.
// first_object: the connection is for a scan, so the client's local-scan
// mode starts from LocalScan as configured and is switched off when an
// address fails (whole files then go to the fall-back address). make_nonblocking: the socket is made
// non-blocking before it is accepted.
int tvx_connect(const std::vector<DaemonAddress> &list, bool first_object, bool make_nonblocking);


// Closes fd when it is open and sets it to -1.
void close_fd(int &fd);

#endif
