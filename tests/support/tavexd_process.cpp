// tavexd for tests: started in the foreground, ready once its pid file
// (written after every socket is bound) exists.
#include "support/tavexd_process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tvx_test {

tavexd_process::~tavexd_process() { stop(); }

bool tavexd_process::start(const std::vector<std::string> &extra)
{
#ifdef TVX_TAVEXD_PATH
    std::vector<std::string> argv = {TVX_TAVEXD_PATH, "-l", "local:" + sock_, "-l", "inet:0@127.0.0.1",
                                     "-p", pid_file_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string err_path = dir_ / "stderr";
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0)
            dup2(fd, 2);
        std::vector<char *> cargs;
        for (std::string &a : argv)
            cargs.push_back(&a[0]);
        cargs.push_back(nullptr);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    for (int i = 0; i < 2000; ++i) {
        if (file_exists(pid_file_)) {
            std::string text = read_file(pid_file_);
            size_t colon = text.rfind(':');
            port_ = colon == std::string::npos ? -1 : atoi(text.c_str() + colon + 1);
            return true;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        usleep(5000);
    }
    stop();
    return false;
#else
    (void)extra;
    return false;
#endif
}

int tavexd_process::stop()
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = -1;
    for (int i = 0; i < 1000; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

std::string tavexd_process::inet_address() const { return "inet:" + std::to_string(port_) + "@127.0.0.1"; }

std::string tavexd_process::stderr_text() const { return read_file(dir_ / "stderr"); }

}  // namespace tvx_test
