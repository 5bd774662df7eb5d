// Small descriptor helpers shared by the listener and the scanning client.
// They log their own failures; callers only look at the result.
#ifndef TVX_UTIL_FD_H
#define TVX_UTIL_FD_H

// Puts a descriptor into non-blocking mode, logging what it found and did.
bool fd_set_nonblocking(int fd);

#endif
