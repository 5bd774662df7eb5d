// Call sites of the scanning client and the client access list. Each hook
// is the one place where the daemon process reaches that piece.
#include "daemon/hooks.h"

#include "config/icapd_config.h"
#include "log/log.h"
#include "policy/client_acl.h"
#include "scan/scan_state.h"
#include "scan/tvx_commands.h"
#include "scan/tvx_connect.h"

void daemon_virus_count()
{
    if (g_config.tavex_addresses.empty()) {
        icapd_log(LOG_L_INFO, "Virus check disabled\n");
        return;
    }
    // The listener keeps no scanning-daemon connection between counts: a
    // failure is logged by the client and leaves the count as it was.
    tvx_get_virus_num(g_tvx.daemon_fd);
    close_fd(g_tvx.daemon_fd);
}

void daemon_scan_close() { close_fd(g_tvx.daemon_fd); }

bool daemon_peer_admitted(const sockaddr *peer, socklen_t len)
{
    // Without an access list every client is admitted, silently.
    return g_config.acl_hosts.empty() || acl_admits(peer, len, g_config.acl_hosts);
}
