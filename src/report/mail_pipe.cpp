// Running the mail command with bounded waits. The stream's writer polls
// the command's input until the deadline; the close reaps the command or
// kills its process group. Never leaves a child unreaped.
#include "report/mail_pipe.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Milliseconds left until the deadline (-1: no deadline), 0 when passed.
int ms_left(const mail_pipe &p)
{
    if (!p.deadline)
        return -1;
    int64_t left = (p.deadline - now_ns()) / 1000000;
    return left <= 0 ? 0 : left > 1000000000 ? 1000000000 : static_cast<int>(left);
}

ssize_t pipe_write(void *cookie, const char *buf, size_t len)
{
    mail_pipe &p = *static_cast<mail_pipe *>(cookie);
    size_t done = 0;
    while (done < len) {
        ssize_t w = send(p.fd, buf + done, len - done, MSG_NOSIGNAL);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return done ? static_cast<ssize_t>(done) : -1;
        pollfd pfd{p.fd, POLLOUT, 0};
        int timeout = ms_left(p);
        int r = timeout == 0 ? 0 : poll(&pfd, 1, timeout);
        if (r == 0) {
            errno = ETIMEDOUT;
            return done ? static_cast<ssize_t>(done) : -1;
        }
        if (r < 0 && errno != EINTR)
            return done ? static_cast<ssize_t>(done) : -1;
    }
    return static_cast<ssize_t>(done);
}

int pipe_close(void *cookie)
{
    mail_pipe &p = *static_cast<mail_pipe *>(cookie);
    int r = close(p.fd);
    p.fd = -1;
    return r;
}

}  // namespace

bool mail_pipe_open(mail_pipe &p, const std::string &command, int seconds)
{
    p = mail_pipe();
    if (seconds > 0)
        p.deadline = now_ns() + static_cast<int64_t>(seconds) * 1000000000;
    // A socket pair rather than a pipe: a mailer that has gone makes a
    // write fail with EPIPE instead of raising SIGPIPE in the caller.
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        close(fds[0]);
        close(fds[1]);
        errno = e;
        return false;
    }
    if (pid == 0) {
        // The command's standard input is its end of the pair; SIGPIPE back
        // to its default, as a mailer expects; a group of its own, so that
        // a command that overstays is killed with everything it started.
        signal(SIGPIPE, SIG_DFL);
        setpgid(0, 0);
        if (dup2(fds[0], 0) < 0)
            _exit(127);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[0]);
    setpgid(pid, pid);  // also here, whichever side runs first
    shutdown(fds[1], SHUT_RD);
    p.pid = pid;
    p.fd = fds[1];
    fcntl(p.fd, F_SETFL, fcntl(p.fd, F_GETFL) | O_NONBLOCK);
    cookie_io_functions_t io{nullptr, pipe_write, nullptr, pipe_close};
    p.out = fopencookie(&p, "w", io);
    if (!p.out) {
        int e = errno;
        close(p.fd);
        p.fd = -1;
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        p.pid = -1;
        errno = e;
        return false;
    }
    return true;
}

int mail_pipe_close(mail_pipe &p)
{
    int err = 0;
    if (p.out) {
        if (fclose(p.out) != 0)
            err = errno;
        p.out = nullptr;
    }
    if (p.pid < 0) {
        errno = err ? err : ECHILD;
        return -1;
    }
    for (;;) {
        int status;
        pid_t r = waitpid(p.pid, &status, WNOHANG);
        if (r == p.pid)
            break;
        if (r < 0 && errno != EINTR) {
            err = errno;
            break;
        }
        if (ms_left(p) == 0) {
            kill(-p.pid, SIGKILL);
            waitpid(p.pid, &status, 0);
            err = ETIMEDOUT;
            break;
        }
        usleep(2000);
    }
    p.pid = -1;
    if (err) {
        errno = err;
        return -1;
    }
    return 0;
}
