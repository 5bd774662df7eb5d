// The load generator: client threads, each running one epoll loop over its
// share of the connections, sending one request at a time per connection and
// judging every reply with reply_parser. Bounded by a count, a deadline and
// a time-out per reply. Like a proxy, it sends a request once more on a new
// connection when a reused keep-alive connection turns out to be closed
// before the first byte of the reply.
#ifndef TVX_ICAP_BENCH_LOADGEN_H
#define TVX_ICAP_BENCH_LOADGEN_H

#include <cstdint>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <string>

#include "icap_wire.h"
#include "latency.h"

struct load_plan {
    const bench_request *req = nullptr;
    sockaddr_in addr{};
    int conns = 1;
    int threads = 1;
    bool keep_alive = true;     // connections opened before the clock starts and reused
    bool one_per_conn = false;  // exactly one request on each connection, never reconnect
    uint64_t count = 0;         // requests in all, warm-up included; 0: no bound
    double seconds = 5;         // measured time after the warm-up
    double warmup = 0;
    int timeout_ms = 10000;
    // Runs once every connection is up (keep-alive) and before the clock
    // starts; gets the number of connections that are up.
    std::function<void(int)> before_start;
};

struct load_result {
    uint64_t ok = 0;           // correct replies completed in the measured time
    uint64_t failed = 0;       // requests that ended in an error (warm-up included)
    uint64_t continues = 0;    // "100 Continue" replies seen
    uint64_t connects = 0;     // connections opened after the clock started
    uint64_t retried = 0;      // requests sent again on a new connection (warm-up included)
    uint64_t body_bytes = 0;   // echoed body bytes in correct replies
    int connected = 0;         // connections up when the clock started
    double seconds = 0;        // from the end of the warm-up to the last completion
    std::map<int, uint64_t> statuses;
    std::map<std::string, uint64_t> errors;
    latency_histogram latency;
};

load_result run_load(const load_plan &plan);

#endif
