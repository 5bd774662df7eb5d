// A private clamd for tests: its configuration, sockets, log and an offline
// database built at run time in a scratch folder. It never reads the system
// configuration or database and never starts freshclam.
#ifndef TVX_TESTS_CLAMD_PROCESS_H
#define TVX_TESTS_CLAMD_PROCESS_H

#include <string>
#include <sys/types.h>

#include "support/support.h"

namespace tvx_test {

// Names clamd reports for the test database (".UNOFFICIAL" as clamd adds it).
extern const char clamd_eicar_name[];
extern const char clamd_sample_name[];

class clamd_process {
public:
    clamd_process();
    ~clamd_process();
    clamd_process(const clamd_process &) = delete;
    clamd_process &operator=(const clamd_process &) = delete;

    // Starts clamd and waits for PONG on both sockets; false when it did not
    // come up (its log is in log_text()). Objects over max_file_size bytes
    // are reported as a limit.
    bool start(unsigned max_file_size = 1 << 20);
    // SIGTERM and wait; SIGKILL with kill_hard.
    void stop(bool kill_hard = false);

    std::string local_address() const { return "local:" + sock_; }
    std::string inet_address() const { return "inet:" + std::to_string(port_) + "@127.0.0.1"; }
    std::string log_text() const;
    // Adds a body-pattern signature NAME for text to the database (read at
    // clamd's next reload).
    void add_signature(const std::string &name, const std::string &text);

private:
    temp_dir dir_;
    std::string sock_ = dir_ / "clamd.ctl";
    int port_ = -1;
    pid_t pid_ = -1;
};

// A one-command exchange with clamd at a Unix socket: the reply without its
// NUL, or empty when there was none within two seconds.
std::string clamd_ask(const std::string &sock, const std::string &command);

}  // namespace tvx_test

#endif
