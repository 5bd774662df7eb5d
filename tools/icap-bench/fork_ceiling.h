// The ceiling of a server that forks one process per connection: how many
// trivial processes this machine can fork, let exit and reap per second.
// Its children do nothing but exit; nothing else is touched.
#ifndef TVX_ICAP_BENCH_FORK_CEILING_H
#define TVX_ICAP_BENCH_FORK_CEILING_H

#include <cstdint>

struct fork_result {
    uint64_t processes = 0;  // children forked and reaped
    uint64_t failures = 0;   // forks that failed
    double seconds = 0;
};

// Keeps up to parallel children alive at a time until count children (0: no
// bound) or seconds have passed.
fork_result fork_ceiling(int parallel, uint64_t count, double seconds);

#endif
