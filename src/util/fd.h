// Small descriptor helpers shared by the listener, the body receiver and
// the scanning client.
#ifndef TVX_UTIL_FD_H
#define TVX_UTIL_FD_H

#include <cstddef>

// Puts a descriptor into non-blocking mode, logging what it found and did.
bool fd_set_nonblocking(int fd);

// Writes n bytes to a file descriptor, continuing after partial writes and
// interrupted calls. False (errno set, nothing logged: the caller names the
// file) when a write fails or writes nothing.
bool fd_write_all(int fd, const void *buf, size_t n);

// Marks every descriptor from 3 up close-on-exec: whatever the starting
// process left open reaches no program the daemon runs.
void fd_cloexec_inherited();

#endif
