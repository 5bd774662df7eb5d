// The cached process id. A child handler registered with pthread_atfork
// re-reads it in every child of fork(), so the cache follows the process
// even when a library forks behind the daemon's back.
#include "log/process_id.h"

#include <pthread.h>
#include <unistd.h>

namespace {

pid_t cached_pid = 0;
bool refresh_registered = false;

void refresh_in_child() { cached_pid = getpid(); }

}  // namespace

pid_t tvx_process_id()
{
    if (cached_pid == 0) {
        if (!refresh_registered && pthread_atfork(nullptr, nullptr, refresh_in_child) == 0)
            refresh_registered = true;
        pid_t pid = getpid();
        // Without the fork handler every call asks the kernel.
        if (!refresh_registered)
            return pid;
        cached_pid = pid;
    }
    return cached_pid;
}
