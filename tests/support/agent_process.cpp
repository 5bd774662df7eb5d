// tavex-agent for tests: started in the foreground, ready once its pid file
// (written after every socket is bound) exists; reloads are waited for in
// its stderr, where it logs the outcome of each.
#include "support/agent_process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tvx_test {

agent_process::~agent_process() { stop(); }

bool agent_process::start(const std::string &config_text, const std::string &fail_mode,
                          const std::vector<std::string> &extra)
{
#ifdef TVX_AGENT_PATH
    if (pid_ > 0)
        return false;
    rewrite_config(config_text);
    std::vector<std::string> argv = {TVX_AGENT_PATH, "-l", address(), "-l", "inet:0@127.0.0.1",
                                     "-c", config_, "-o", records_, "-p", pid_file_};
    if (!fail_mode.empty())
        argv.insert(argv.end(), {"--fail", fail_mode});
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string err_path = dir_ / "stderr";
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        // A test that dies takes its agent with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int null = open("/dev/null", O_RDWR);
        if (err >= 0)
            dup2(err, 2);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
        }
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
    (void)config_text;
    (void)fail_mode;
    (void)extra;
    return false;
#endif
}

int agent_process::stop()
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

std::string agent_process::inet_address() const { return "inet:" + std::to_string(port_) + "@127.0.0.1"; }

void agent_process::rewrite_config(const std::string &text) { write_file(config_, text); }

bool agent_process::reload()
{
    if (pid_ <= 0)
        return false;
    // "reloaded ..." or "reload failed ...": one line per SIGHUP.
    size_t before = count_of(stderr_text(), "reload"), done = count_of(stderr_text(), "reloaded ");
    if (kill(pid_, SIGHUP) != 0)
        return false;
    if (!eventually([&] { return count_of(stderr_text(), "reload") > before; }))
        return false;
    return count_of(stderr_text(), "reloaded ") > done;
}

std::vector<std::string> agent_process::records() const
{
    // Only whole lines: the agent writes each with one call, but a reader
    // may still come between two.
    std::vector<std::string> lines;
    std::string text = read_file(records_);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

bool agent_process::wait_records(size_t n, int timeout_ms) const
{
    return eventually([&] { return records().size() >= n; }, timeout_ms);
}

std::string agent_process::stderr_text() const { return read_file(dir_ / "stderr"); }

}  // namespace tvx_test
