// Runs the reconnection cases in turns so that a change in the machine's load
// falls on all of them alike, and reports them side by side. A scan counts
// only when its reply was read to the last byte within the bounds; a failure
// is counted by kind, never as throughput.
#include "reconnect.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

std::string case_name(const reconnect_case &c)
{
    return c.transport + (c.kept ? ", kept connection" : ", new per scan");
}

// Scans one after another for the case until the time or the count is used
// up. A kept connection stays open between slices, idle while the other
// cases run; a new one is opened and closed around each scan.
void run_slice(const reconnect_plan &plan, const reconnect_case &c, scan_conn &conn, reconnect_figures &f,
               uint64_t count, double seconds, bool measured)
{
    const uint64_t start = now_ns(), deadline = start + static_cast<uint64_t>(seconds * 1e9);
    uint64_t done = 0, last = start;
    while ((count == 0 || done < count) && now_ns() < deadline) {
        uint64_t t0 = now_ns();
        int r = SCAN_OK;
        if (!conn.is_open()) {
            r = conn.open(c.target, plan.timeout_ms);
            if (measured)
                ++f.connects;
        }
        uint32_t code = 0;
        if (r == SCAN_OK)
            r = conn.scan(plan.request, code);
        if (r == SCAN_OK && !c.kept)
            conn.close();
        uint64_t t1 = now_ns();
        ++done;
        if (r != SCAN_OK) {
            ++f.failed;
            ++f.errors[case_name(c) + ": " + scan_result_text(r, conn.last_errno())];
            usleep(10000);  // a daemon that refuses is not hammered
            continue;
        }
        if (measured) {
            ++f.ok;
            ++f.codes[code];
            f.latency.add(t1 - t0);
            last = t1;
        }
    }
    if (measured)
        f.seconds += static_cast<double>(last - start) / 1e9;
}

double us_per_scan(const reconnect_figures &f)
{
    return f.ok ? f.seconds * 1e6 / static_cast<double>(f.ok) : 0;
}

double scans_per_second(const reconnect_figures &f)
{
    return f.seconds > 0 ? static_cast<double>(f.ok) / f.seconds : 0;
}

}  // namespace

std::vector<reconnect_figures> run_reconnect(const reconnect_plan &plan)
{
    const size_t n = plan.cases.size();
    std::vector<reconnect_figures> figures(n);
    std::vector<scan_conn> conns(n);
    const int rounds = plan.rounds > 0 ? plan.rounds : 1;
    const uint64_t per_round = plan.count ? (plan.count + static_cast<uint64_t>(rounds) - 1) / rounds : 0;
    // Kept connections are up before the clock starts; one that fails here
    // is tried again, and counted, by the first scan.
    for (size_t i = 0; i < n; ++i)
        if (plan.cases[i].kept)
            conns[i].open(plan.cases[i].target, plan.timeout_ms);
    if (plan.warmup > 0)
        for (size_t i = 0; i < n; ++i)
            run_slice(plan, plan.cases[i], conns[i], figures[i], 0, plan.warmup, false);
    for (int r = 0; r < rounds; ++r)
        for (size_t i = 0; i < n; ++i) {
            uint64_t left = plan.count ? plan.count - figures[i].ok : 0;
            if (plan.count && left == 0)
                continue;
            run_slice(plan, plan.cases[i], conns[i], figures[i], plan.count ? std::min(per_round, left) : 0,
                      plan.seconds / rounds, true);
        }
    return figures;
}

void print_reconnect(const reconnect_plan &plan, const std::vector<reconnect_figures> &figures,
                     size_t body_size, double cpu, bool quiet)
{
    if (!quiet) {
        printf("icap-bench reconnect: scans of %zu bytes sent whole, one at a time; %d rounds, %.1f s per case "
               "in all\n",
               body_size, plan.rounds, plan.seconds);
        // "µs" takes two bytes and one column: the widths are set by hand.
        printf("  %-24s %9s %7s %10s %10s %10s %10s\n", "case", "scans", "failed", "scans/s", "µs/scan", "p50 µs",
               "p99 µs");
        for (size_t i = 0; i < figures.size(); ++i) {
            const reconnect_figures &f = figures[i];
            printf("  %-24s %9llu %7llu %10.1f %9.1f %9.1f %9.1f\n", case_name(plan.cases[i]).c_str(),
                   (unsigned long long)f.ok, (unsigned long long)f.failed, scans_per_second(f), us_per_scan(f),
                   static_cast<double>(f.latency.percentile(0.5)) / 1e3,
                   static_cast<double>(f.latency.percentile(0.99)) / 1e3);
        }
        for (size_t i = 0; i < figures.size(); ++i)
            for (size_t j = 0; j < figures.size(); ++j) {
                const reconnect_case &k = plan.cases[i], &nw = plan.cases[j];
                if (!k.kept || nw.kept || k.transport != nw.transport || !figures[i].ok || !figures[j].ok)
                    continue;
                double kept = us_per_scan(figures[i]), fresh = us_per_scan(figures[j]);
                printf("  reconnect %-5s %+.1f µs per scan (a new connection per scan takes %.2fx the time)\n",
                       k.transport.c_str(), fresh - kept, kept > 0 ? fresh / kept : 0);
            }
        printf("  codes     ");
        std::map<uint32_t, uint64_t> codes;
        std::map<std::string, uint64_t> errors;
        for (const reconnect_figures &f : figures) {
            for (auto &kv : f.codes)
                codes[kv.first] += kv.second;
            for (auto &kv : f.errors)
                errors[kv.first] += kv.second;
        }
        if (codes.empty())
            printf(" none");
        for (auto &kv : codes)
            printf(" %#x: %llu", kv.first, (unsigned long long)kv.second);
        fputs(errors.empty() ? "\n  errors     none\n" : "\n  errors\n", stdout);
        for (auto &kv : errors)
            printf("    %8llu  %s\n", (unsigned long long)kv.second, kv.first.c_str());
        printf("  own CPU    %.0f%% of one CPU\n", cpu * 100);
    }
    for (size_t i = 0; i < figures.size(); ++i) {
        const reconnect_figures &f = figures[i];
        printf("RESULT mode=reconnect transport=%s conn=%s ok=%llu failed=%llu connects=%llu seconds=%.3f sps=%.1f "
               "us_per_scan=%.2f p50_us=%.2f p99_us=%.2f cpu=%.2f\n",
               plan.cases[i].transport.c_str(), plan.cases[i].kept ? "kept" : "new", (unsigned long long)f.ok,
               (unsigned long long)f.failed, (unsigned long long)f.connects, f.seconds, scans_per_second(f),
               us_per_scan(f), static_cast<double>(f.latency.percentile(0.5)) / 1e3,
               static_cast<double>(f.latency.percentile(0.99)) / 1e3, cpu);
    }
    fflush(stdout);
}
