// Command line of icap-bench: what to send, to whom, how hard and for how
// long. Only parses and checks; it never opens a socket.
#ifndef TVX_ICAP_BENCH_OPTIONS_H
#define TVX_ICAP_BENCH_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>

enum class bench_mode {
    options,      // OPTIONS
    reqmod,       // REQMOD with a request header and null-body
    respmod,      // RESPMOD with a chunked body of body_size bytes, echo checked
    raw,          // raw loopback echo: the physical ceiling
    idle,         // many idle keep-alive connections, then one request on each
    echo_server,  // only the raw echo server, for a given time
    fork,         // fork, exit and reap a trivial process: the ceiling of a forking server
    reconnect,    // scans sent to a scanning daemon: kept connection against one per scan
};

struct bench_options {
    bench_mode mode = bench_mode::options;
    std::string host = "127.0.0.1";
    int port = 1344;          // 0 in raw mode: the tool's own echo server; in reconnect mode: no TCP
    std::string service = "echo";
    int conns = 1;
    int threads = 1;
    uint64_t count = 0;       // requests in all, warm-up included; 0: no count bound
    double seconds = 5;       // time bound of the measured run
    double warmup = 0;        // seconds run before measuring
    size_t body_size = 1024;
    size_t chunk = 65536;
    long preview = -1;        // -1: no Preview field
    bool allow_204 = false;
    bool close_each = false;  // one connection per request
    int timeout_ms = 10000;   // longest wait for one reply
    bench_mode idle_request = bench_mode::options;
    double settle = 2;        // idle mode: seconds the connections rest before measuring
    pid_t server_pid = 0;     // process tree whose memory is measured
    std::string server_name;  // or every process of this name
    std::string scan_socket;  // reconnect mode: the scanning daemon's Unix socket
    int rounds = 5;           // reconnect mode: turns the cases take
    bool infected = false;    // respmod: the body carries the EICAR test file; a page is the answer
    bool quiet = false;
};

// Fills opts from argv; on a bad command line writes the reason to standard
// error and returns false.
bool bench_parse_options(int argc, char **argv, bench_options &opts);
void bench_usage(FILE *out);
const char *bench_mode_name(bench_mode m);

#endif
