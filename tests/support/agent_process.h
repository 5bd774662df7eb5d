// The stand-in agent tavex-agent run for a test: serving a configuration
// text from its own directory on a Unix socket and a loopback port, writing
// the statistics records it receives there, stopped (and its files removed)
// when the object goes.
#ifndef TVX_TESTS_AGENT_PROCESS_H
#define TVX_TESTS_AGENT_PROCESS_H

#include <string>
#include <sys/types.h>
#include <vector>

#include "support/support.h"

namespace tvx_test {

class agent_process {
public:
    agent_process() = default;
    ~agent_process();
    agent_process(const agent_process &) = delete;
    agent_process &operator=(const agent_process &) = delete;

    // Writes config_text to the file served and starts tavex-agent, with
    // --fail fail_mode unless it is empty and the extra arguments (for
    // example {"--timeout", "1"}); waits until it listens. False when it did
    // not start.
    bool start(const std::string &config_text, const std::string &fail_mode = "",
               const std::vector<std::string> &extra = {});
    // SIGTERM and wait; returns the exit status or -1.
    int stop();
    bool running() const { return pid_ > 0; }

    // For the daemon's -f: "local:PATH", or "inet:PORT@127.0.0.1".
    std::string address() const { return "local:" + sock_; }
    std::string inet_address() const;
    const std::string &socket_path() const { return sock_; }
    int port() const { return port_; }

    // Replaces the file served; the agent reads it on reload().
    void rewrite_config(const std::string &text);
    // SIGHUP, then waits until the agent has logged the outcome. True when
    // the new file is in force, false when the agent kept the old text (or
    // said nothing within ten seconds).
    bool reload();

    // The statistics records received so far, one JSON line each (without
    // the newline), oldest first.
    std::vector<std::string> records() const;
    // Waits until at least n records are in; false after the time-out.
    bool wait_records(size_t n, int timeout_ms = 10000) const;

    pid_t pid() const { return pid_; }
    const std::string &config_path() const { return config_; }
    const std::string &pid_file() const { return pid_file_; }
    std::string stderr_text() const;

private:
    temp_dir dir_;
    std::string sock_ = dir_ / "agent.sock";
    std::string config_ = dir_ / "served.ini";
    std::string pid_file_ = dir_ / "agent.pid";
    std::string records_ = dir_ / "records.jsonl";
    pid_t pid_ = -1;
    int port_ = -1;
};

}  // namespace tvx_test

#endif
