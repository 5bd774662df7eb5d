// Memory of a server as the kernel accounts it: PSS from
// /proc/<pid>/smaps_rollup summed over the server's processes. Reads /proc
// only; never signals or otherwise touches the processes.
#ifndef TVX_ICAP_BENCH_PROC_MEM_H
#define TVX_ICAP_BENCH_PROC_MEM_H

#include <cstdint>
#include <string>
#include <sys/types.h>

struct proc_mem {
    int processes = 0;     // processes found
    int unreadable = 0;    // found but their PSS could not be read
    uint64_t pss_kib = 0;  // summed PSS
};

// The process root and all its descendants when root > 0, otherwise every
// process whose command name (/proc/<pid>/comm) equals name.
proc_mem proc_mem_measure(pid_t root, const std::string &name);

#endif
