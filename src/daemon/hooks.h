// The daemon's calls into the scanning client and the client access list,
// gathered in one place: start-up and reload ask for the virus-record
// count, forks drop the scanning-daemon connection, accept asks the list.
#ifndef TVX_DAEMON_HOOKS_H
#define TVX_DAEMON_HOOKS_H

#include <sys/socket.h>

// With a scanning daemon configured, refreshes g_tvx.virus_total from it (the
// connection is closed again afterwards); otherwise logs
// "Virus check disabled\n".
void daemon_virus_count();

// Closes this process's scanning-daemon connection, if one is open.
void daemon_scan_close();

// True when the client access list admits the peer; an empty list admits
// everyone.
bool daemon_peer_admitted(const sockaddr *peer, socklen_t len);

#endif
