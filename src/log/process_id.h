// The id of the running process, asked of the kernel once per process:
// log lines and temp-file names need it on every request. Never stale in a
// forked child, which refreshes it before fork() returns there.
#ifndef TVX_LOG_PROCESS_ID_H
#define TVX_LOG_PROCESS_ID_H

#include <sys/types.h>

// getpid() without the system call after the first use in a process.
pid_t tvx_process_id();

#endif
