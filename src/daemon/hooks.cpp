// Call sites of the scanning client and the client access list. Each hook
// is the one place where the daemon process reaches that piece.
#include "daemon/hooks.h"

#include "config/icapd_config.h"
#include "log/log.h"
#include "scan/scan_state.h"

void daemon_virus_count()
{
    if (g_config.tavex_addresses.empty()) {
        icapd_log(LOG_L_INFO, "Virus check disabled\n");
        return;
    }
    // The scanning client's base-count query (tvx_get_virus_num) fills
    // virus_total here and then closes its connection. Until the client is
    // linked in, the count keeps its previous value.
}

void daemon_scan_close()
{
    // The scanning client's connection close (tvx_close) goes here; this
    // process holds no scanning-daemon connection until the client exists.
}

bool daemon_peer_admitted(const sockaddr *peer, socklen_t len)
{
    (void)peer;
    (void)len;
    // The compiled client access list is consulted here when it is not
    // empty; without one every client is admitted.
    return true;
}
