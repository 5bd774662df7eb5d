// What a new connection to the scanning daemon costs per scan: the same
// small scan over one kept connection and over a new connection per scan
// (connect, scan, close), on a Unix socket and on loopback TCP, measured in
// one run with the cases taking turns. One scan at a time, as a connection
// process of the ICAP daemon scans; it never runs scans side by side.
#ifndef TVX_ICAP_BENCH_RECONNECT_H
#define TVX_ICAP_BENCH_RECONNECT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "latency.h"
#include "scan_client.h"

struct reconnect_case {
    std::string transport;  // "unix" or "tcp"
    bool kept = true;       // one kept connection; otherwise a new one per scan
    scan_target target;
};

struct reconnect_plan {
    std::vector<reconnect_case> cases;
    std::string request;    // the scan request, built by scan_request_whole
    uint64_t count = 0;     // scans per case (0: no count bound)
    double seconds = 5;     // measured seconds per case
    double warmup = 0;      // seconds per case before measuring
    int rounds = 5;         // the cases take turns this many times
    int timeout_ms = 10000;
};

struct reconnect_figures {
    uint64_t ok = 0;          // scans answered in the measured time
    uint64_t failed = 0;      // scans that ended in an error (warm-up included)
    uint64_t connects = 0;    // connections opened in the measured time
    double seconds = 0;       // measured time, summed over the rounds
    std::map<uint32_t, uint64_t> codes;  // reply codes of the answered scans
    std::map<std::string, uint64_t> errors;
    latency_histogram latency;  // one scan: send to end of reply, with connect and close for a new connection
};

std::vector<reconnect_figures> run_reconnect(const reconnect_plan &plan);

// The table, the cost of a reconnection per transport and one RESULT line
// per case; quiet prints only the RESULT lines.
void print_reconnect(const reconnect_plan &plan, const std::vector<reconnect_figures> &figures,
                     size_t body_size, double cpu, bool quiet);

#endif
