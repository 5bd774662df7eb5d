// Opening connections to the scanning daemon and the agent. Addresses are
// tried once each, in configuration order (each by daemon_address_connect);
// failures are reported as -1. Never touches the bytes that travel on a
// connection.
#include "scan/tvx_connect.h"

#include <fcntl.h>
#include <unistd.h>

#include "config/address_connect.h"
#include "log/log.h"
#include "util/fd.h"
#include "scan/scan_state.h"


int tvx_connect1(const DaemonAddress &addr) { return daemon_address_connect(addr); }

int tvx_connect(const std::vector<DaemonAddress> &list, bool first_object, bool make_nonblocking)
{
    // Every scan connection starts from LocalScan as configured.
    if (first_object)
        g_tvx.local_scan = g_config.LocalScan ? 1 : 0;
    for (const DaemonAddress &a : list) {
        int fd = tvx_connect1(a);
        if (fd >= 0 && make_nonblocking && !fd_set_nonblocking(fd)) {
            close(fd);
            fd = -1;
        }
        if (fd >= 0) {
            icapd_log(LOG_L_TRACE, "Connection ok\n");
            return fd;
        }
        if (first_object && g_tvx.local_scan == 1) {
            icapd_log(LOG_L_TRACE, "turn off local scan mode - was error to connect on first object\n");
            g_tvx.local_scan = 0;
        }
    }
    return -1;
}

void close_fd(int &fd)
{
    if (fd < 0)
        return;
    icapd_log(LOG_L_FLOW, "Closing fd %i\n", fd);
    close(fd);
    fd = -1;
}
