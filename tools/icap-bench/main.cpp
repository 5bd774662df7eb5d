// icap-bench: drives an ICAP server on loopback with OPTIONS, REQMOD or
// RESPMOD load, measures the raw loopback echo ceiling, or what a new
// connection to the scanning daemon costs per scan, and reports rates,
// latency, replies by status and errors by kind. Loopback only.
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/time.h>
#include <thread>

#include "bench_options.h"
#include "fork_ceiling.h"
#include "icap_wire.h"
#include "loadgen.h"
#include "proc_mem.h"
#include "raw_echo.h"
#include "reconnect.h"
#include "scan_client.h"

namespace {

struct idle_report {
    bool measured = false;
    proc_mem before;  // the server before any connection was opened
    proc_mem idle;    // with every connection open and idle
};

void raise_fd_limit()
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

bool memory_wanted(const bench_options &o) { return o.server_pid > 0 || !o.server_name.empty(); }

double ms(uint64_t ns) { return static_cast<double>(ns) / 1e6; }

// CPU seconds (user and system) this process has used so far.
double cpu_seconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double wall_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// cpu: the share of one CPU this process used during the run.
void print_report(const bench_options &o, const bench_request &req, const load_result &r,
                  const idle_report *idle, double cpu)
{
    double secs = r.seconds > 0 ? r.seconds : 0;
    double rps = secs > 0 ? static_cast<double>(r.ok) / secs : 0;
    double mibps = secs > 0 ? static_cast<double>(r.body_bytes) / secs / (1024.0 * 1024.0) : 0;
    const char *mode = bench_mode_name(o.mode);
    if (!o.quiet) {
        printf("icap-bench %s: %s:%d, %d connection%s%s, %d thread%s", mode, o.host.c_str(), o.port,
               o.conns, o.conns == 1 ? "" : "s",
               o.close_each ? " (one per request)" : " (keep-alive)", o.threads,
               o.threads == 1 ? "" : "s");
        if (req.method == bench_mode::respmod || req.method == bench_mode::raw)
            printf(", body %zu bytes", req.body.size());
        if (req.method == bench_mode::respmod)
            printf(" in chunks of %zu", o.chunk);
        if (o.preview >= 0 && req.method == bench_mode::respmod)
            printf(", Preview: %ld", o.preview);
        if (o.allow_204 && req.method != bench_mode::options && req.method != bench_mode::raw)
            printf(", Allow: 204");
        printf("\n");
        printf("  answered   %llu correct in %.3f s, %llu failed, %llu retried on a new connection",
               (unsigned long long)r.ok, secs, (unsigned long long)r.failed, (unsigned long long)r.retried);
        if (r.continues)
            printf(", %llu \"100 Continue\"", (unsigned long long)r.continues);
        if (r.connects)
            printf(", %llu connections opened", (unsigned long long)r.connects);
        printf("\n");
        printf("  rate       %.1f requests/s, %.2f MiB/s of echoed body\n", rps, mibps);
        printf("  latency    p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", ms(r.latency.percentile(0.5)),
               ms(r.latency.percentile(0.99)), ms(r.latency.max_ns()));
        printf("  own CPU    %.0f%% of one CPU%s\n", cpu * 100,
               o.mode == bench_mode::raw && o.port == 0 ? " (client and echo server)" : "");
        printf("  statuses  ");
        if (r.statuses.empty())
            printf(" none");
        for (auto &kv : r.statuses)
            printf(" %d: %llu", kv.first, (unsigned long long)kv.second);
        printf("\n  errors    ");
        if (r.errors.empty())
            printf(" none\n");
        else
            printf("\n");
        for (auto &kv : r.errors)
            printf("    %8llu  %s\n", (unsigned long long)kv.second, kv.first.c_str());
        if (idle) {
            printf("  idle       %d of %d connections up, %llu answered one request each\n", r.connected,
                   o.conns, (unsigned long long)r.ok);
            if (idle->measured)
                printf("  memory     server PSS %llu KiB in %d processes with the connections idle "
                       "(%llu KiB in %d before): %.1f KiB per connection, %.1f KiB added per "
                       "connection\n",
                       (unsigned long long)idle->idle.pss_kib, idle->idle.processes,
                       (unsigned long long)idle->before.pss_kib, idle->before.processes,
                       r.connected ? static_cast<double>(idle->idle.pss_kib) / r.connected : 0.0,
                       r.connected ? (static_cast<double>(idle->idle.pss_kib) -
                                      static_cast<double>(idle->before.pss_kib)) /
                                         r.connected
                                   : 0.0);
        }
    }
    uint64_t errors = 0;
    for (auto &kv : r.errors)
        errors += kv.second;
    printf("RESULT mode=%s conns=%d ok=%llu failed=%llu errors=%llu retried=%llu seconds=%.3f rps=%.1f "
           "mibps=%.2f p50_ms=%.3f p99_ms=%.3f continues=%llu cpu=%.2f",
           mode, o.conns, (unsigned long long)r.ok, (unsigned long long)r.failed,
           (unsigned long long)errors, (unsigned long long)r.retried, secs, rps, mibps, ms(r.latency.percentile(0.5)),
           ms(r.latency.percentile(0.99)), (unsigned long long)r.continues, cpu);
    if (idle) {
        printf(" connected=%d answered=%llu", r.connected, (unsigned long long)r.ok);
        if (idle->measured && r.connected)
            printf(" processes=%d pss_kib=%llu pss_kib_per_conn=%.1f pss_added_kib_per_conn=%.1f",
                   idle->idle.processes, (unsigned long long)idle->idle.pss_kib,
                   static_cast<double>(idle->idle.pss_kib) / r.connected,
                   (static_cast<double>(idle->idle.pss_kib) - static_cast<double>(idle->before.pss_kib)) /
                       r.connected);
    }
    printf("\n");
    fflush(stdout);
}

// Reconnect mode: the cases for the transports given, run and reported.
int reconnect_main(const bench_options &o, const std::string &ip)
{
    reconnect_plan rp;
    reconnect_case c;
    if (!o.scan_socket.empty()) {
        c.transport = "unix";
        c.target.local = true;
        c.target.path = o.scan_socket;
        rp.cases.push_back(c);
        c.kept = false;
        rp.cases.push_back(c);
    }
    if (o.port) {
        c.transport = "tcp";
        c.target = scan_target();
        c.target.addr.sin_family = AF_INET;
        c.target.addr.sin_port = htons(static_cast<uint16_t>(o.port));
        inet_pton(AF_INET, ip.c_str(), &c.target.addr.sin_addr);
        c.kept = true;
        rp.cases.push_back(c);
        c.kept = false;
        rp.cases.push_back(c);
    }
    rp.request = scan_request_whole(SCAN_DEFAULT_OPTIONS, bench_body_bytes(o.body_size));
    rp.count = o.count;
    rp.seconds = o.seconds;
    rp.warmup = o.warmup;
    rp.rounds = o.rounds;
    rp.timeout_ms = o.timeout_ms;
    double cpu0 = cpu_seconds(), wall0 = wall_seconds();
    std::vector<reconnect_figures> figures = run_reconnect(rp);
    double cpu = (cpu_seconds() - cpu0) / (wall_seconds() - wall0);
    print_reconnect(rp, figures, o.body_size, cpu, o.quiet);
    for (const reconnect_figures &f : figures)
        if (!f.ok || f.failed)
            return 1;
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    bench_options o;
    if (!bench_parse_options(argc, argv, o))
        return 2;
    signal(SIGPIPE, SIG_IGN);
    raise_fd_limit();

    if (o.mode == bench_mode::fork) {
        fork_result f = fork_ceiling(o.conns, o.count, o.seconds);
        double rate = f.seconds > 0 ? static_cast<double>(f.processes) / f.seconds : 0;
        if (!o.quiet)
            printf("icap-bench fork: %llu processes forked, exited and reaped in %.3f s, %d at a "
                   "time: %.1f processes/s, %llu forks failed\n",
                   (unsigned long long)f.processes, f.seconds, o.conns, rate,
                   (unsigned long long)f.failures);
        printf("RESULT mode=fork conns=%d ok=%llu failed=%llu seconds=%.3f rps=%.1f\n", o.conns,
               (unsigned long long)f.processes, (unsigned long long)f.failures, f.seconds, rate);
        return f.failures || !f.processes ? 1 : 0;
    }

    std::string ip = o.host == "localhost" ? "127.0.0.1" : o.host;
    if (o.mode == bench_mode::reconnect)
        return reconnect_main(o, ip);

    raw_echo_server echo;
    if (o.mode == bench_mode::echo_server || (o.mode == bench_mode::raw && o.port == 0)) {
        if (!echo.start(ip, o.port)) {
            fprintf(stderr, "icap-bench: %s\n", echo.error().c_str());
            return 1;
        }
        o.port = echo.port();
        if (o.mode == bench_mode::echo_server) {
            printf("icap-bench: echo server on %s:%d for %.0f s\n", ip.c_str(), o.port, o.seconds);
            fflush(stdout);
            std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
            echo.stop();
            return 0;
        }
    }

    bench_mode method = o.mode == bench_mode::idle ? o.idle_request : o.mode;
    bench_request req = bench_build_request(o, method);

    load_plan plan;
    plan.req = &req;
    plan.addr.sin_family = AF_INET;
    plan.addr.sin_port = htons(static_cast<uint16_t>(o.port));
    inet_pton(AF_INET, ip.c_str(), &plan.addr.sin_addr);
    plan.conns = o.conns;
    plan.threads = o.threads;
    plan.keep_alive = !o.close_each;
    plan.count = o.count;
    plan.seconds = o.seconds;
    plan.warmup = o.warmup;
    plan.timeout_ms = o.timeout_ms;

    idle_report idle;
    if (o.mode == bench_mode::idle) {
        plan.keep_alive = true;
        plan.one_per_conn = true;
        plan.count = static_cast<uint64_t>(o.conns);
        plan.warmup = 0;
        plan.seconds = 3600;  // each connection takes its ticket at once; the time-out bounds the rest
        if (memory_wanted(o))
            idle.before = proc_mem_measure(o.server_pid, o.server_name);
        plan.before_start = [&](int) {
            std::this_thread::sleep_for(std::chrono::duration<double>(o.settle));
            if (memory_wanted(o)) {
                // A forking server may still be starting children: wait until
                // the number of processes holds still (at most 10 s more).
                idle.idle = proc_mem_measure(o.server_pid, o.server_name);
                for (int i = 0; i < 40; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(250));
                    proc_mem again = proc_mem_measure(o.server_pid, o.server_name);
                    bool still = again.processes == idle.idle.processes;
                    idle.idle = again;
                    if (still)
                        break;
                }
                idle.measured = idle.idle.processes > 0;
            }
        };
    }

    double cpu0 = cpu_seconds(), wall0 = wall_seconds();
    load_result r = run_load(plan);
    double cpu = (cpu_seconds() - cpu0) / (wall_seconds() - wall0);
    echo.stop();
    print_report(o, req, r, o.mode == bench_mode::idle ? &idle : nullptr, cpu);

    bool good = r.ok > 0 && r.failed == 0 && r.errors.empty();
    if (o.mode == bench_mode::idle)
        good = good && r.ok == static_cast<uint64_t>(o.conns);
    return good ? 0 : 1;
}
