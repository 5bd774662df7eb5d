// Process-wide values of the scanning-daemon client: the connection to the
// daemon, the virus-record count shown in the ISTAG, the daemon's release
// text, the last response code and the saved LocalScan mode. Plain data;
// the client that fills them lives beside this file.
#ifndef TVX_SCAN_SCAN_STATE_H
#define TVX_SCAN_SCAN_STATE_H

#include <cstdint>
#include <string>

// Commands of the scan protocol (32-bit big-endian on the wire).
constexpr uint32_t TAVEX_CMD_SCAN = 1;
constexpr uint32_t TAVEX_CMD_BASES = 3;
constexpr uint32_t TAVEX_CMD_INFO = 4;

// The connection of this process to the scanning daemon, -1 when none.
// Every daemon command of the process goes over it.
extern int tvx_daemon_fd;

// Sum of the record counts of the daemon's virus bases; 0 until the first
// successful query.
extern unsigned long virus_total;

// The daemon's information text; empty until the first successful query.
extern std::string daemon_release;

// Response code of the last scan; reset to 0 at every request start.
extern uint32_t last_response_code;

// LocalScan as configured, saved by the first scan connection (-1 until
// then) so that every later scan connection starts from it again.
extern int local_scan_saved;

#endif
