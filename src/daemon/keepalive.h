// The keepalive pipe between the listener and its idle connection processes.
// The listener holds both ends; a connection process keeps only the read
// end and sees end of file there when the listener closes its write end.
#ifndef TVX_DAEMON_KEEPALIVE_H
#define TVX_DAEMON_KEEPALIVE_H

// Descriptors of the pipe, -1 when closed: [0] read end, [1] write end.
extern int keepalive_pipe[2];

// Creates the pipe; false (errno set) when pipe() fails.
bool keepalive_open();
// Closes both ends that are still open.
void keepalive_close();
// In a freshly forked process: drops the write end, keeps the read end.
void keepalive_close_write_end();
bool keepalive_is_open();

#endif
