// tavex-agent: the stand-in management agent that tests and demonstrations
// run beside tavex-icapd. Parses the command line, reads the configuration
// file (again on SIGHUP), opens the statistics output, binds, writes the pid
// file and serves each connection in a thread of its own (a fork per record
// would cost more than the daemon spends on the request that sends it); it
// never touches the daemon or its files.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>
#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

#include "agt_conffile.h"
#include "agt_limits.h"
#include "agt_listen.h"
#include "agt_log.h"
#include "agt_out.h"
#include "agt_session.h"

namespace {

volatile sig_atomic_t agt_stop_signal = 0;
volatile sig_atomic_t agt_reload_asked = 0;

void agt_on_stop(int sig) { agt_stop_signal = sig; }
void agt_on_reload(int) { agt_reload_asked = 1; }

const char agt_usage[] =
    "usage: tavex-agent -l ADDRESS [-l ADDRESS...] -c FILE [options]\n"
    "  -l, --listen ADDRESS   local:PATH or inet:PORT@HOST (port 0 picks a free port)\n"
    "  -c, --config FILE      the configuration text served; read again on SIGHUP\n"
    "  -o, --output FILE      append one JSON line per statistics record (default: standard output)\n"
    "  -p, --pid-file FILE    write the pid, then one listening address per line\n"
    "      --timeout SECONDS  a client has this long for its request and for the answer (1 to 3600, default 10)\n"
    "      --fail MODE        silent, status3, close-mid, huge-block, huge-config or reject-stat\n"
    "  -h, --help             this text\n";

enum { OPT_TIMEOUT = 256, OPT_FAIL };

[[noreturn]] void agt_bad_usage(const char *what, const char *value)
{
    fprintf(stderr, "tavex-agent: bad %s: %s\n%s", what, value, agt_usage);
    exit(2);
}

// Decimal number within [lo, hi].
bool agt_parse_number(const char *text, unsigned long lo, unsigned long hi, unsigned long *value)
{
    if (!*text || strspn(text, "0123456789") != strlen(text) || strlen(text) > 9)
        return false;
    unsigned long v = strtoul(text, nullptr, 10);
    if (v < lo || v > hi)
        return false;
    *value = v;
    return true;
}

// Connections served at once; the listener stops accepting at the bound.
std::atomic<unsigned> agt_active{0};

// Serves one accepted connection with the settings in force when it was
// accepted. The thread inherits the listener's blocked signals, so that
// only the listener's wait ever takes one.
void agt_connection_main(int fd, std::shared_ptr<const agt_settings> s)
{
    agt_session_run(fd, *s);
    close(fd);
    --agt_active;
}

// Reads the configuration file again; a file that cannot be read leaves the
// text in force.
void agt_reload(const std::string &path, agt_settings &s)
{
    std::string err;
    if (agt_conffile_read(path, s.config, err))
        agt_log("reloaded %s: %zu bytes", path.c_str(), s.config.size());
    else
        agt_log("reload failed, old configuration kept (%zu bytes): %s", s.config.size(), err.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    static const struct option longopts[] = {
        {"listen", required_argument, nullptr, 'l'},
        {"config", required_argument, nullptr, 'c'},
        {"output", required_argument, nullptr, 'o'},
        {"pid-file", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, OPT_TIMEOUT},
        {"fail", required_argument, nullptr, OPT_FAIL},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    agt_settings s;
    std::vector<agt_listener> listeners;
    std::string config_path, out_path, pid_path;
    unsigned long n;

    int c;
    while ((c = getopt_long(argc, argv, "l:c:o:p:h", longopts, nullptr)) != -1) {
        std::string err;
        switch (c) {
        case 'l':
            listeners.emplace_back();
            if (!agt_listener_parse(optarg, listeners.back(), err))
                agt_bad_usage("address", err.c_str());
            break;
        case 'c': config_path = optarg; break;
        case 'o': out_path = optarg; break;
        case 'p': pid_path = optarg; break;
        case OPT_TIMEOUT:
            if (!agt_parse_number(optarg, 1, AGT_TIMEOUT_MAX_S, &n))
                agt_bad_usage("time-out", optarg);
            s.timeout_s = static_cast<unsigned>(n);
            break;
        case OPT_FAIL:
            s.fail = agt_fail_parse(optarg);
            if (s.fail < 0)
                agt_bad_usage("fail mode", optarg);
            break;
        case 'h': fputs(agt_usage, stdout); return 0;
        default: fputs(agt_usage, stderr); return 2;
        }
    }
    if (optind < argc)
        agt_bad_usage("argument", argv[optind]);
    if (listeners.empty())
        agt_bad_usage("command line", "no listening address (-l)");
    if (config_path.empty())
        agt_bad_usage("command line", "no configuration file (-c)");

    std::string err;
    if (!agt_conffile_read(config_path, s.config, err)) {
        fprintf(stderr, "tavex-agent: %s\n", err.c_str());
        return 2;
    }

    s.out_fd = agt_out_open(out_path, err);
    if (s.out_fd < 0) {
        fprintf(stderr, "tavex-agent: cannot open the statistics output %s\n", err.c_str());
        return 1;
    }

    signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, none;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    sigemptyset(&none);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = agt_on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = agt_on_reload;
    sigaction(SIGHUP, &sa, nullptr);

    int status = 0;
    for (agt_listener &l : listeners) {
        if (!agt_listener_open(l, err)) {
            fprintf(stderr, "tavex-agent: cannot listen on %s\n", err.c_str());
            status = 1;
            break;
        }
        if (!l.bound.empty())
            agt_log("listening on %s", l.bound.c_str());
    }
    if (status == 0 && !pid_path.empty() && !agt_pid_file_write(pid_path, listeners, err)) {
        fprintf(stderr, "tavex-agent: cannot write the pid file %s\n", err.c_str());
        pid_path.clear();
        status = 1;
    }
    if (status == 0)
        agt_log("serving %s: %zu bytes%s%s", config_path.c_str(), s.config.size(),
                s.fail ? ", fail mode " : "", s.fail ? agt_fail_name(s.fail) : "");

    auto current = std::make_shared<const agt_settings>(s);
    while (status == 0 && !agt_stop_signal) {
        if (agt_reload_asked) {
            // Connections accepted from now on get the new text.
            agt_reload_asked = 0;
            agt_reload(config_path, s);
            current = std::make_shared<const agt_settings>(s);
        }
        std::vector<struct pollfd> fds;
        if (agt_active < AGT_MAX_CHILDREN)
            for (const agt_listener &l : listeners)
                fds.push_back({l.fd, POLLIN, 0});
        // With every slot taken, wake up now and then to look again.
        struct timespec pause = {0, 10000000};
        if (ppoll(fds.data(), fds.size(), fds.empty() ? &pause : nullptr, &none) < 0) {
            if (errno == EINTR)
                continue;
            agt_log("poll: %s", strerror(errno));
            status = 1;
            break;
        }
        for (size_t i = 0; i < fds.size() && agt_active < AGT_MAX_CHILDREN; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            int cfd = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (cfd < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                    agt_log("accept: %s", strerror(errno));
                continue;
            }
            ++agt_active;
            try {
                std::thread(agt_connection_main, cfd, current).detach();
            } catch (const std::system_error &e) {
                --agt_active;
                agt_log("thread: %s; connection closed unanswered", e.what());
                close(cfd);
            }
        }
    }

    // Connections still served (a held one waits for its client) end with
    // the agent's exit.
    for (agt_listener &l : listeners)
        agt_listener_close(l);
    if (!pid_path.empty())
        unlink(pid_path.c_str());
    if (agt_stop_signal)
        agt_log("stopped by signal %d", static_cast<int>(agt_stop_signal));
    return status;
}
