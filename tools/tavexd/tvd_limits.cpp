// Raises the stand-in scanning daemon's own soft process limit so that
// --max-children connection processes can be forked; never lowers a limit
// and never goes past the hard one.
#include "tvd_limits.h"

#include <cerrno>
#include <cstring>
#include <sys/resource.h>

#include "tvd_log.h"

int tvd_limits_make_room(unsigned long long max_children)
{
    const rlim_t need = static_cast<rlim_t>(max_children) + 1;  // the children and the listener
    struct rlimit rl;
    if (getrlimit(RLIMIT_NPROC, &rl) != 0) {
        tvd_error("cannot read the process limit: %s", strerror(errno));
        return TVD_LIMIT_SHORT;
    }
    if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= need)
        return TVD_LIMIT_OK;
    rlim_t was = rl.rlim_cur;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NPROC, &rl) != 0) {
            tvd_error("cannot raise the process limit from %llu: %s", static_cast<unsigned long long>(was),
                      strerror(errno));
            return TVD_LIMIT_SHORT;
        }
    }
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < need) {
        tvd_error("the process limit of this user is %llu (RLIMIT_NPROC), short of the %llu that "
                  "--max-children %llu needs; connections past it are closed unanswered when fork fails",
                  static_cast<unsigned long long>(rl.rlim_cur), static_cast<unsigned long long>(need),
                  max_children);
        return TVD_LIMIT_SHORT;
    }
    tvd_note("process limit raised from %llu to the hard limit for --max-children %llu",
             static_cast<unsigned long long>(was), max_children);
    return TVD_LIMIT_RAISED;
}
