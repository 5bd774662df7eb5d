// ucf-bench: what URL-category files cost. "lookup" loads a category
// directory as the daemon does (timing the load with its signature checks)
// and times ucf_files_is_blocked for typical URLs that the files do not
// hold, one lookup at a time, printing the median and tail. "pss" opens
// connections to a running daemon, has each connection process look one
// URL up (or, "pss-idle", only answer OPTIONS), and prints the
// proportional set size of those processes.
// Measures only; never writes a file.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "log/log.h"
#include "policy/ucf_files.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A typical URL: three host labels, three path segments, two parameters;
// varied so that every lookup searches other records.
std::string typical_url(unsigned i)
{
    char buf[256];
    snprintf(buf, sizeof buf, "http://www.site%u.example/dir%u/sub%u/page%u.html?id=%u&lang=en", i * 2654435761u % 1000003u,
             i % 97, i % 13, i, i * 7);
    return buf;
}

int usage()
{
    fputs("usage: ucf-bench lookup DIR [LOOKUPS]   load DIR as UcfDirectory, then time lookups (100000)\n"
          "       ucf-bench pss PORT PID [CONNS]  CONNS connections to the daemon PID on 127.0.0.1:PORT each\n"
          "                                        look a URL up; the connection processes' PSS (16)\n"
          "       ucf-bench pss-idle PORT PID [CONNS]  the same with an OPTIONS request (no lookup)\n",
          stderr);
    return 2;
}

int bench_lookup(const std::string &dir_arg, unsigned lookups)
{
    std::string dir = dir_arg.back() == '/' ? dir_arg : dir_arg + "/";
    log_set_level_mask(0);
    ucf_categories db;
    auto t0 = clock_type::now();
    if (!ucf_files_load(db, dir)) {
        fprintf(stderr, "ucf-bench: cannot read %s\n", dir.c_str());
        return 1;
    }
    double load_ms = std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
    size_t bytes = 0;
    for (const ucf_category &c : db.category)
        for (const auto &f : c.files)
            bytes += f->size();
    printf("load: %zu files, %.1f MiB, %.1f ms (map, SHA-1 and DSA check of every file)\n", db.file_count(),
           bytes / 1048576.0, load_ms);

    ucf_query q;
    q.client_ip = "10.0.0.1";
    q.enabled = [](int) { return true; };
    // As many distinct URLs as lookups (up to a million), so that caches
    // do not hold the records a repeated URL searched.
    std::vector<std::string> urls;
    for (unsigned i = 0; i < std::min(lookups, 1u << 20); ++i)
        urls.push_back(typical_url(i));
    std::vector<double> us;
    us.reserve(lookups);
    if (urls.empty())
        return usage();
    unsigned blocked = 0;
    std::string out;
    for (unsigned i = 0; i < lookups; ++i) {
        q.url = urls[i % urls.size()].c_str();
        auto a = clock_type::now();
        blocked += ucf_files_is_blocked(db, q, out);
        us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - a).count());
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double p) { return us[std::min(us.size() - 1, static_cast<size_t>(p * us.size()))]; };
    printf("lookup: %u URLs, %u blocked; median %.2f us, p90 %.2f us, p99 %.2f us, max %.2f us\n", lookups, blocked,
           at(0.5), at(0.9), at(0.99), us.back());
    printf("RESULT files=%zu mib=%.1f load_ms=%.1f median_us=%.2f p99_us=%.2f\n", db.file_count(), bytes / 1048576.0,
           load_ms, at(0.5), at(0.99));
    return 0;
}

// Proportional set size of one process, in KiB, from smaps_rollup.
long pss_kib(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/smaps_rollup";
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "Pss: %ld kB", &kib) == 1)
            break;
    fclose(f);
    return kib;
}

std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> out;
    DIR *d = opendir("/proc");
    if (!d)
        return out;
    while (dirent *e = readdir(d)) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::string path = std::string("/proc/") + e->d_name + "/stat";
        FILE *f = fopen(path.c_str(), "r");
        if (!f)
            continue;
        char buf[512];
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = 0;
        const char *close = strrchr(buf, ')');
        int ppid = 0;
        char state;
        if (close && sscanf(close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            out.push_back(pid);
    }
    closedir(d);
    return out;
}

int bench_pss(int port, pid_t daemon, int conns, bool lookup)
{
    std::vector<int> fds;
    for (int i = 0; i < conns; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
            perror("ucf-bench: connect");
            return 1;
        }
        std::string hdr = "GET /dir/sub/page.html?id=1&lang=en HTTP/1.1\r\nHost: www.site" + std::to_string(i) +
                          ".example\r\n\r\n";
        std::string msg = lookup ? "REQMOD icap://127.0.0.1/av ICAP/1.0\r\nHost: 127.0.0.1\r\nAllow: 204\r\n"
                                   "Encapsulated: req-hdr=0, null-body=" +
                                       std::to_string(hdr.size()) + "\r\n\r\n" + hdr
                                 : std::string("OPTIONS icap://127.0.0.1/av ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        if (write(fd, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) {
            perror("ucf-bench: write");
            return 1;
        }
        char buf[65536];
        if (read(fd, buf, sizeof buf) <= 0) {
            fprintf(stderr, "ucf-bench: no reply\n");
            return 1;
        }
        fds.push_back(fd);
    }
    usleep(300000);
    std::vector<pid_t> kids = children_of(daemon);
    long total = 0;
    int counted = 0;
    for (pid_t k : kids) {
        long p = pss_kib(k);
        if (p >= 0) {
            total += p;
            ++counted;
        }
    }
    printf("pss: %d connection processes, %.1f KiB each on average; listener %ld KiB\n", counted,
           counted ? static_cast<double>(total) / counted : 0.0, pss_kib(daemon));
    printf("RESULT processes=%d pss_kib_per_process=%.1f listener_pss_kib=%ld\n", counted,
           counted ? static_cast<double>(total) / counted : 0.0, pss_kib(daemon));
    for (int fd : fds)
        close(fd);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && !strcmp(argv[1], "lookup"))
        return bench_lookup(argv[2], argc > 3 ? static_cast<unsigned>(atoi(argv[3])) : 100000u);
    if (argc >= 4 && (!strcmp(argv[1], "pss") || !strcmp(argv[1], "pss-idle")))
        return bench_pss(atoi(argv[2]), static_cast<pid_t>(atoi(argv[3])), argc > 4 ? atoi(argv[4]) : 16,
                         !strcmp(argv[1], "pss"));
    return usage();
}
