// The listener loop and the processes it forks: one connection process per
// accepted ICAP connection and, while mail notifications are on, a
// periodic pass over the stale mail lock files.
#ifndef TVX_DAEMON_LISTENER_H
#define TVX_DAEMON_LISTENER_H

#include <ctime>
#include <sys/socket.h>

// Waits for connections on the non-blocking listening socket until a fatal
// wait or accept error (the pid file is then removed); returns the exit
// status. peer is a buffer of addrlen bytes, the length of the bound address.
int listener_loop(int sockfd, sockaddr *peer, socklen_t addrlen);

// Deletes "lock." files in the Cache directory older than MailCache
// seconds at now; runs in a forked process and exits 0.
[[noreturn]] void check_lock_files(time_t now);

#endif
