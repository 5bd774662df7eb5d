// The stand-in scanning daemon tavexd run for a test: listening on a Unix
// socket and a loopback port in its own directory, stopped (and its files
// removed) when the object goes.
#ifndef TVX_TESTS_TAVEXD_PROCESS_H
#define TVX_TESTS_TAVEXD_PROCESS_H

#include <string>
#include <sys/types.h>
#include <vector>

#include "support/support.h"

namespace tvx_test {

class tavexd_process {
public:
    tavexd_process() = default;
    ~tavexd_process();
    tavexd_process(const tavexd_process &) = delete;
    tavexd_process &operator=(const tavexd_process &) = delete;

    // Starts tavexd with the extra arguments (for example {"--code",
    // "0x20"}) and waits until it listens. False when it did not start.
    bool start(const std::vector<std::string> &extra = {});
    // SIGTERM and wait; returns the exit status or -1.
    int stop();
    bool running() const { return pid_ > 0; }

    const std::string &socket_path() const { return sock_; }
    int port() const { return port_; }
    // Addresses in the TavexAddress syntax.
    std::string local_address() const { return "local:" + sock_; }
    std::string inet_address() const;
    std::string pid_address() const { return "pid:" + pid_file_; }
    const std::string &pid_file() const { return pid_file_; }
    std::string stderr_text() const;

private:
    temp_dir dir_;
    std::string sock_ = dir_ / "tavexd.sock";
    std::string pid_file_ = dir_ / "tavexd.pid";
    pid_t pid_ = -1;
    int port_ = -1;
};

}  // namespace tvx_test

#endif
