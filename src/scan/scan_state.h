// The scanning-daemon client's own state in this process: the connection
// to the daemon, the local-scan mode in effect, the virus-record count
// shown in the ISTAG, the daemon's release text and the last response
// code. Plain data owned by the client beside this file; the configuration
// is never written by the client.
#ifndef TVX_SCAN_SCAN_STATE_H
#define TVX_SCAN_SCAN_STATE_H

#include <cstdint>
#include <string>

// Commands of the scan protocol (32-bit big-endian on the wire).
constexpr uint32_t TAVEX_CMD_SCAN = 1;
constexpr uint32_t TAVEX_CMD_BASES = 3;
constexpr uint32_t TAVEX_CMD_INFO = 4;

struct tvx_client {
    // The connection of this process to the scanning daemon, -1 when none.
    // Every daemon command of the process goes over it.
    int daemon_fd = -1;
    // Whether scans on the current connection send paths (LocalScan as
    // configured, switched off for the connection when an address failed
    // on the way to it); -1 before the first scan connection.
    int local_scan = -1;
    // Sum of the record counts of the daemon's virus bases; 0 until the
    // first successful query.
    unsigned long virus_total = 0;
    // The daemon's information text; empty until the first successful query.
    std::string release;
    // Response code of the last scan; reset to 0 at every request start.
    uint32_t last_response_code = 0;
};

extern tvx_client g_tvx;

#endif
