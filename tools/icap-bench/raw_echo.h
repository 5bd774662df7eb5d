// A trivial loopback TCP echo server on one thread: whatever a connection
// sends comes back unchanged. The physical ceiling for bytes through loopback
// on this machine; it parses nothing and never touches a disk.
#ifndef TVX_ICAP_BENCH_RAW_ECHO_H
#define TVX_ICAP_BENCH_RAW_ECHO_H

#include <atomic>
#include <string>
#include <thread>

class raw_echo_server {
public:
    raw_echo_server() = default;
    ~raw_echo_server();
    raw_echo_server(const raw_echo_server &) = delete;
    raw_echo_server &operator=(const raw_echo_server &) = delete;

    // Listens on host:port (port 0: any free port) and starts serving.
    // False with a message in error() when the socket cannot be set up.
    bool start(const std::string &host, int port);
    void stop();
    int port() const { return port_; }
    const std::string &error() const { return error_; }

private:
    void serve();
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::string error_;
};

#endif
