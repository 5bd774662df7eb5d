// Process-wide values of the scanning-daemon client that other layers
// read: the virus-record count shown in the ISTAG and the daemon's release
// text. Plain data; the client that fills them lives beside this file.
#ifndef TVX_SCAN_SCAN_STATE_H
#define TVX_SCAN_SCAN_STATE_H

#include <string>

// Sum of the record counts of the daemon's virus bases; 0 until the first
// successful query.
extern unsigned long virus_total;

// The daemon's information text; empty until the first successful query.
extern std::string daemon_release;

#endif
