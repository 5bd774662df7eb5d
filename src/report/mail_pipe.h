// The mail command of a notification: a shell command line started with a
// stream socket on its standard input (a pipe that never raises SIGPIPE), written through a stream whose every write
// waits at most until a deadline, and ended by closing the pipe and
// waiting for the command, again only until the deadline; a command still
// running then is killed. A mailer that never reads its input or never
// ends costs a connection process at most that long.
#ifndef TVX_REPORT_MAIL_PIPE_H
#define TVX_REPORT_MAIL_PIPE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>

struct mail_pipe {
    pid_t pid = -1;
    int fd = -1;          // our end of the command's input, non-blocking
    FILE *out = nullptr;  // the stream over fd
    int64_t deadline = 0; // CLOCK_MONOTONIC ns; 0: none
};

// Starts /bin/sh -c command, in a process group of its own, with its
// standard input connected to p.out. seconds
// (below 1: no limit) bounds everything from now to the end of
// mail_pipe_close. False with errno set when the pipe or the process
// cannot be made.
bool mail_pipe_open(mail_pipe &p, const std::string &command, int seconds);

// Closes the stream and waits for the command. 0 when it ended in time
// (its exit status is not examined), -1 with errno otherwise (ETIMEDOUT:
// it was killed at the deadline).
int mail_pipe_close(mail_pipe &p);

#endif
