// Forks children that _exit at once and reaps them; the parent's memory is
// small, so the figure is the kernel's cost of a process, not of a copy.
#include "fork_ceiling.h"

#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

fork_result fork_ceiling(int parallel, uint64_t count, double seconds)
{
    fork_result r;
    double start = now_s(), end = start + seconds;
    int alive = 0;
    uint64_t started = 0;
    while ((!count || started < count) && now_s() < end) {
        if (alive >= parallel) {
            if (waitpid(-1, nullptr, 0) > 0) {
                --alive;
                ++r.processes;
            }
            continue;
        }
        pid_t pid = fork();
        if (pid == 0)
            _exit(0);
        ++started;
        if (pid < 0)
            ++r.failures;
        else
            ++alive;
    }
    while (alive > 0 && waitpid(-1, nullptr, 0) > 0) {
        --alive;
        ++r.processes;
    }
    r.seconds = now_s() - start;
    return r;
}
