// Command line of icap-bench. Every number is bounded here so that the run
// is bounded in time, in count and in memory; only loopback hosts pass.
#include "bench_options.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct mode_name {
    const char *name;
    bench_mode mode;
};

const mode_name k_modes[] = {
    {"options", bench_mode::options}, {"reqmod", bench_mode::reqmod},
    {"respmod", bench_mode::respmod}, {"raw", bench_mode::raw},
    {"idle", bench_mode::idle},       {"echo-server", bench_mode::echo_server},
    {"fork", bench_mode::fork},       {"reconnect", bench_mode::reconnect},
};

bool parse_mode(const char *s, bench_mode &m)
{
    for (const mode_name &n : k_modes)
        if (!strcmp(n.name, s)) {
            m = n.mode;
            return true;
        }
    return false;
}

// A whole unsigned number with an optional k/m/g suffix (powers of 1024).
bool parse_size(const char *s, uint64_t max, uint64_t &out)
{
    if (!*s || *s == '-')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno || end == s)
        return false;
    unsigned shift = 0;
    if (*end == 'k' || *end == 'K')
        shift = 10;
    else if (*end == 'm' || *end == 'M')
        shift = 20;
    else if (*end == 'g' || *end == 'G')
        shift = 30;
    if (shift)
        ++end;
    if (*end || v > (max >> shift))
        return false;
    out = v << shift;
    return true;
}

bool parse_seconds(const char *s, double max, double &out)
{
    char *end = nullptr;
    errno = 0;
    double v = strtod(s, &end);
    if (errno || end == s || *end || !(v >= 0) || v > max)
        return false;
    out = v;
    return true;
}

bool is_loopback(const std::string &host)
{
    if (host == "localhost")
        return true;
    in_addr a;
    if (inet_pton(AF_INET, host.c_str(), &a) != 1)
        return false;
    return (ntohl(a.s_addr) >> 24) == 127;
}

}  // namespace

const char *bench_mode_name(bench_mode m)
{
    for (const mode_name &n : k_modes)
        if (n.mode == m)
            return n.name;
    return "?";
}

void bench_usage(FILE *out)
{
    fputs("usage: icap-bench MODE [options]\n"
          "modes:\n"
          "  options      OPTIONS requests\n"
          "  reqmod       REQMOD with a request header and null-body\n"
          "  respmod      RESPMOD with a chunked body; a 200 must echo it byte for byte\n"
          "  raw          raw loopback echo of -s bytes per exchange (the ceiling); without -p\n"
          "               the tool runs its own echo server\n"
          "  idle         open -c keep-alive connections, let them rest, measure the server's\n"
          "               memory, then send one request (--idle-request) on each\n"
          "  echo-server  only the raw echo server on -p for -d seconds\n"
          "  fork         fork a process that exits at once and reap it, -c at a time: the\n"
          "               ceiling of a server that forks per connection (processes/s)\n"
          "  reconnect    scans of -s bytes sent whole to a scanning daemon, one at a time: one\n"
          "               kept connection against a new connection per scan (connect, scan,\n"
          "               close), on the Unix socket --local and on TCP port -p, the cases\n"
          "               taking turns (--rounds); -d and -n bound each case, -w warms each\n"
          "               case up first\n"
          "options:\n"
          "  -H HOST            loopback address (127.0.0.1)\n"
          "  -p PORT            server port (1344)\n"
          "  -u SERVICE         service name in the ICAP URI (echo)\n"
          "  -c N               concurrent connections (1)\n"
          "  -t N               client threads, each with its own epoll loop (1)\n"
          "  -n N               stop after N requests in all, warm-up included (no bound)\n"
          "  -d SECONDS         stop after this long (5); the run ends at the first bound\n"
          "  -w SECONDS         warm-up not counted in the results (0)\n"
          "  -s SIZE            body bytes for respmod and raw, suffix k or m (1024)\n"
          "  --chunk SIZE       bytes per chunk of the request body (64k)\n"
          "  --preview N        send a Preview of N bytes and follow the 100 Continue dialogue\n"
          "  --allow204         send Allow: 204\n"
          "  --infected         respmod: the body starts with the EICAR test file, and the reply\n"
          "                     that replaces it by a page is the correct one\n"
          "  --close            one connection per request (Connection: close)\n"
          "  --timeout MS       longest wait for one reply (10000)\n"
          "  --idle-request M   request sent in idle mode: options, reqmod or respmod (options)\n"
          "  --settle SECONDS   idle mode: rest before measuring memory (2)\n"
          "  --pid PID          server process: PSS summed over it and its descendants\n"
          "  --proc NAME        server processes: PSS summed over every process of this name\n"
          "  --local PATH       reconnect mode: Unix socket of the scanning daemon\n"
          "  --rounds N         reconnect mode: turns the cases take (5)\n"
          "  -q                 print only the RESULT line\n"
          "exit status: 0 when every request was answered correctly, 1 otherwise, 2 for usage\n",
          out);
}

bool bench_parse_options(int argc, char **argv, bench_options &o)
{
    if (argc < 2) {
        bench_usage(stderr);
        return false;
    }
    if (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help")) {
        bench_usage(stdout);
        exit(0);
    }
    if (!parse_mode(argv[1], o.mode)) {
        fprintf(stderr, "icap-bench: unknown mode %s\n", argv[1]);
        return false;
    }
    bool port_given = false;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *&v) {
            if (i + 1 >= argc) {
                fprintf(stderr, "icap-bench: %s needs a value\n", a.c_str());
                return false;
            }
            v = argv[++i];
            return true;
        };
        const char *v = nullptr;
        uint64_t n = 0;
        bool ok = true;
        if (a == "--infected") {
            o.infected = true;
        } else if (a == "--allow204") {
            o.allow_204 = true;
        } else if (a == "--close") {
            o.close_each = true;
        } else if (a == "-q") {
            o.quiet = true;
        } else if (!value(v)) {
            return false;
        } else if (a == "-H") {
            o.host = v;
            ok = is_loopback(o.host);
        } else if (a == "-p") {
            ok = parse_size(v, 65535, n);
            o.port = static_cast<int>(n);
            port_given = true;
        } else if (a == "-u") {
            o.service = v;
            ok = !o.service.empty() && o.service.find_first_of(" \r\n") == std::string::npos;
        } else if (a == "-c") {
            ok = parse_size(v, 20000, n) && n > 0;
            o.conns = static_cast<int>(n);
        } else if (a == "-t") {
            ok = parse_size(v, 64, n) && n > 0;
            o.threads = static_cast<int>(n);
        } else if (a == "-n") {
            ok = parse_size(v, uint64_t(1) << 40, n);
            o.count = n;
        } else if (a == "-d") {
            ok = parse_seconds(v, 3600, o.seconds);
        } else if (a == "-w") {
            ok = parse_seconds(v, 600, o.warmup);
        } else if (a == "-s") {
            ok = parse_size(v, uint64_t(1) << 30, n);
            o.body_size = n;
        } else if (a == "--chunk") {
            ok = parse_size(v, uint64_t(1) << 24, n) && n > 0;
            o.chunk = n;
        } else if (a == "--preview") {
            ok = parse_size(v, uint64_t(1) << 24, n);
            o.preview = static_cast<long>(n);
        } else if (a == "--timeout") {
            ok = parse_size(v, 600000, n) && n > 0;
            o.timeout_ms = static_cast<int>(n);
        } else if (a == "--idle-request") {
            ok = parse_mode(v, o.idle_request) &&
                 (o.idle_request == bench_mode::options || o.idle_request == bench_mode::reqmod ||
                  o.idle_request == bench_mode::respmod);
        } else if (a == "--settle") {
            ok = parse_seconds(v, 600, o.settle);
        } else if (a == "--pid") {
            ok = parse_size(v, 1u << 30, n) && n > 0;
            o.server_pid = static_cast<pid_t>(n);
        } else if (a == "--proc") {
            o.server_name = v;
            ok = !o.server_name.empty() && o.server_name.size() < 16;
        } else if (a == "--local") {
            o.scan_socket = v;
            ok = !o.scan_socket.empty() && o.scan_socket.size() < 108;  // sun_path
        } else if (a == "--rounds") {
            ok = parse_size(v, 1000, n) && n > 0;
            o.rounds = static_cast<int>(n);
        } else {
            fprintf(stderr, "icap-bench: unknown option %s\n", a.c_str());
            return false;
        }
        if (!ok) {
            fprintf(stderr, "icap-bench: bad value for %s: %s\n", a.c_str(), v ? v : "");
            return false;
        }
    }
    if ((o.mode == bench_mode::raw || o.mode == bench_mode::reconnect) && !port_given)
        o.port = 0;
    if (o.mode == bench_mode::reconnect && o.port == 0 && o.scan_socket.empty()) {
        fprintf(stderr, "icap-bench: reconnect mode needs the daemon's socket (--local) or port (-p)\n");
        return false;
    }
    if (o.port == 0 && o.mode != bench_mode::raw && o.mode != bench_mode::reconnect) {
        fprintf(stderr, "icap-bench: port 0 is only for raw mode (the tool's own echo server)\n");
        return false;
    }
    if (o.seconds <= 0 && o.count == 0) {
        fprintf(stderr, "icap-bench: give a time bound (-d) or a count (-n)\n");
        return false;
    }
    if (o.seconds <= 0)
        o.seconds = 3600;
    if (o.threads > o.conns)
        o.threads = o.conns;
    if (o.mode == bench_mode::raw && o.body_size == 0) {
        fprintf(stderr, "icap-bench: raw mode needs a body size above 0\n");
        return false;
    }
    return true;
}
