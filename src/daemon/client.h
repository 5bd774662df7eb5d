// The connection process: answers the ICAP requests of one connection
// until it ends, keep-alive is off, the client asks to close or the
// listener retires idle processes.
#ifndef TVX_DAEMON_CLIENT_H
#define TVX_DAEMON_CLIENT_H

// The body of a connection process; never returns.
[[noreturn]] void client(int fd);

#endif
