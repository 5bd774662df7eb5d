// Resource limits that bound how many connections the stand-in scanning
// daemon serves at once. Only tavexd's own soft limits are raised, never
// beyond the hard limit; no limit is lowered and no other process is touched.
#ifndef TVD_LIMITS_H
#define TVD_LIMITS_H

enum tvd_limit_result {
    TVD_LIMIT_OK = 0,      // the soft limit already left room
    TVD_LIMIT_RAISED = 1,  // the soft limit was raised to the hard limit, which leaves room
    TVD_LIMIT_SHORT = 2,   // even the hard limit leaves no room; said once on stderr
};

// Makes room in the per-user process limit (RLIMIT_NPROC) for max_children
// connection processes and the listener. The limit counts every process of
// the user, so when it is short the soft limit is raised all the way to the
// hard one. Returns a tvd_limit_result.
//
// Descriptors need no such room: the listener closes each accepted socket as
// soon as its child has it, so it holds the listening sockets and the
// standard streams however many children run, and each child holds its
// connection and at most one object file.
int tvd_limits_make_room(unsigned long long max_children);

#endif
