// Runs a MailCommand line for tests: the "%s" expansion, /bin/sh -c in a
// process group of its own, the message fed through a pipe without blocking
// past the time-out, and the group killed when time runs out. SIGPIPE is
// held back in the writing thread only, never ignored for the whole process.
#include "support/mail_command.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tvx_test {

namespace {

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int remaining(long long deadline)
{
    long long left = deadline - now_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Writes all of data to the non-blocking fd before the deadline. SIGPIPE is
// blocked meanwhile and one raised by a write is taken back before the mask
// is restored, so a mailer that closes its input shows as EPIPE alone.
bool write_all(int fd, const std::string &data, long long deadline, mail_run &run)
{
    sigset_t pipe_set, old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
    size_t done = 0;
    bool ok = true;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            run.write_errno = errno;
            ok = false;
            break;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, remaining(deadline)) == 0) {
            run.timed_out = true;
            ok = false;
            break;
        }
    }
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE)) {
        struct timespec zero = {0, 0};
        sigtimedwait(&pipe_set, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

std::string mail_command_line(const std::string &format, const std::string &recipient)
{
    std::string line;
    int conversions = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            line += format[i];
            continue;
        }
        char next = i + 1 < format.size() ? format[i + 1] : '\0';
        if (next == '%') {
            line += '%';
        } else if (next == 's') {
            line += recipient;
            ++conversions;
        } else {
            throw std::invalid_argument("mail command has a conversion other than %s: " + format);
        }
        ++i;
    }
    if (conversions != 1)
        throw std::invalid_argument("mail command needs exactly one %s: " + format);
    return line;
}

mail_run run_mail_command(const std::string &format, const std::string &recipient, const std::string &message,
                          int timeout_ms)
{
    mail_run run;
    std::string line = mail_command_line(format, recipient);
    long long deadline = now_ms() + timeout_ms;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        dup2(fds[0], 0);
        execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);  // as the child does, so the group exists whichever runs first
    close(fds[0]);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    run.wrote_all = write_all(fds[1], message, deadline, run);
    close(fds[1]);

    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            run.status = decode_status(status);
            break;
        }
        if (r < 0 && errno != EINTR)
            break;
        if (run.timed_out || now_ms() >= deadline) {
            run.timed_out = true;
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            run.status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return run;
}

}  // namespace tvx_test
