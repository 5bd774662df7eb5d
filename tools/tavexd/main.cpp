// tavexd: the stand-in scanning daemon that tests and demonstrations run in
// place of the real one. Parses the command line, binds, writes the pid file
// and forks one process per connection; it never touches the ICAP daemon.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "tvd_clamav.h"
#include "tvd_clamd.h"
#include "tvd_limits.h"
#include "tvd_listen.h"
#include "tvd_log.h"
#include "tvd_session.h"
#include "tvd_wire.h"

#ifndef TVX_VERSION
#define TVX_VERSION "0"
#endif

namespace {

volatile sig_atomic_t tvd_stop_signal = 0;
volatile sig_atomic_t tvd_reload_asked = 0;

void tvd_on_stop(int sig)
{
    tvd_stop_signal = sig;
}

void tvd_on_reload(int)
{
    tvd_reload_asked = 1;
}

void tvd_on_child(int) {}

// The ICAP daemon's default MaxChildren (1024), each of its connection
// processes keeping one connection for its whole life, plus room for the
// listener's own base count and for connection processes being replaced.
#define TVD_DEFAULT_MAX_CHILDREN 1056
#define TVD_TEXT_OF(x) TVD_TEXT_OF_VALUE(x)
#define TVD_TEXT_OF_VALUE(x) #x

const char tvd_usage[] =
    "usage: tavexd -l ADDRESS [-l ADDRESS...] [options]\n"
    "  -l, --listen ADDRESS   local:PATH or inet:PORT@HOST (port 0 picks a free port)\n"
    "  -s, --signatures FILE  signature file (default: the built-in test-string entry)\n"
    "  -p, --pid-file FILE    write the pid, then one listening address per line\n"
    "      --bases LIST       virus bases NAME=COUNT,... (default main.avc=100000,daily.avc=20000)\n"
    "      --info TEXT        answer of the information command\n"
    "      --stream-name NAME object name in report lines of bodies sent whole (default /stream)\n"
    "      --max-size BYTES   larger objects are skipped (default 104857600)\n"
    "      --temp-dir DIR     where bodies sent whole are kept while scanned (default $TMPDIR or /tmp)\n"
    "      --timeout SECONDS  per-wait time-out inside a request, 0 for none (default 60)\n"
    "      --idle-timeout SECONDS  close a connection idle this long between commands (default: never)\n"
    "      --max-children N   connections served at once; more wait to be accepted (default "
    TVD_TEXT_OF(TVD_DEFAULT_MAX_CHILDREN) ")\n"
    "      --code CODE        answer every scan with this response code\n"
    "      --fault MODE       refuse, close-mid-reply, stall or garbage\n"
    "      --fault-on CMD     the fault hits only command CMD (1, 3 or 4)\n"
    "      --fault-bytes N    close-mid-reply: bytes of the reply sent before closing\n"
    "      --check            load the signatures, print their count and exit\n"
    "      --engine NAME      scan with an engine instead of the signature file: clamav\n"
    "                         (libclamav in-process) or clamd (a running clamd)\n"
    "      --database DIR     clamav: the engine's signature directory\n"
    "      --clamav-limit NAME=VALUE  max-filesize, max-scansize, max-files, max-recursion, max-scantime\n"
    "      --clamd ADDRESS    clamd: its socket, local:PATH or inet:PORT@HOST\n"
    "  -v, --verbose          one line per connection event on stderr\n"
    "  -h, --help             this text\n";

enum {
    OPT_BASES = 256, OPT_INFO, OPT_STREAM_NAME, OPT_MAX_SIZE, OPT_TEMP_DIR, OPT_TIMEOUT, OPT_IDLE_TIMEOUT,
    OPT_MAX_CHILDREN,
    OPT_CODE, OPT_FAULT, OPT_FAULT_ON, OPT_FAULT_BYTES, OPT_CHECK,
    OPT_ENGINE, OPT_DATABASE, OPT_CLAMAV_LIMIT, OPT_CLAMD,
};

// Decimal number within [0, max].
bool tvd_parse_number(const char *text, unsigned long long max, unsigned long long *value)
{
    if (!*text || strspn(text, "0123456789") != strlen(text))
        return false;
    errno = 0;
    unsigned long long v = strtoull(text, nullptr, 10);
    if (errno || v > max)
        return false;
    *value = v;
    return true;
}

// NAME=COUNT,... ; an empty list announces no bases at all.
bool tvd_parse_bases(const std::string &text, std::vector<std::pair<std::string, uint32_t>> &bases)
{
    bases.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? text.size() : comma + 1;
        size_t eq = item.rfind('=');
        unsigned long long n;
        if (eq == std::string::npos || eq == 0 || eq > 255 || bases.size() >= 64 ||
            !tvd_parse_number(item.c_str() + eq + 1, 0xFFFFFFFFull, &n))
            return false;
        bases.emplace_back(item.substr(0, eq), static_cast<uint32_t>(n));
    }
    return true;
}

int tvd_parse_fault(const char *text)
{
    static const struct { const char *name; int fault; } faults[] = {
        {"refuse", TVD_FAULT_REFUSE}, {"close-mid-reply", TVD_FAULT_CLOSE_MID},
        {"stall", TVD_FAULT_STALL}, {"garbage", TVD_FAULT_GARBAGE},
    };
    for (const auto &f : faults)
        if (!strcmp(text, f.name))
            return f.fault;
    return -1;
}

[[noreturn]] void tvd_bad_usage(const char *what, const char *value)
{
    fprintf(stderr, "tavexd: bad %s: %s\n%s", what, value, tvd_usage);
    exit(2);
}

// Serves one accepted connection in a child process.
[[noreturn]] void tvd_child_main(int fd, std::vector<tvd_listener> &ls, const tvd_settings &cfg)
{
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (tvd_listener &l : ls)
        tvd_listener_close(l, false);
    tvd_session_run(fd, cfg);
    close(fd);
    _exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    static const struct option longopts[] = {
        {"listen", required_argument, nullptr, 'l'},
        {"signatures", required_argument, nullptr, 's'},
        {"pid-file", required_argument, nullptr, 'p'},
        {"bases", required_argument, nullptr, OPT_BASES},
        {"info", required_argument, nullptr, OPT_INFO},
        {"stream-name", required_argument, nullptr, OPT_STREAM_NAME},
        {"max-size", required_argument, nullptr, OPT_MAX_SIZE},
        {"temp-dir", required_argument, nullptr, OPT_TEMP_DIR},
        {"timeout", required_argument, nullptr, OPT_TIMEOUT},
        {"idle-timeout", required_argument, nullptr, OPT_IDLE_TIMEOUT},
        {"max-children", required_argument, nullptr, OPT_MAX_CHILDREN},
        {"code", required_argument, nullptr, OPT_CODE},
        {"fault", required_argument, nullptr, OPT_FAULT},
        {"fault-on", required_argument, nullptr, OPT_FAULT_ON},
        {"fault-bytes", required_argument, nullptr, OPT_FAULT_BYTES},
        {"check", no_argument, nullptr, OPT_CHECK},
        {"engine", required_argument, nullptr, OPT_ENGINE},
        {"database", required_argument, nullptr, OPT_DATABASE},
        {"clamav-limit", required_argument, nullptr, OPT_CLAMAV_LIMIT},
        {"clamd", required_argument, nullptr, OPT_CLAMD},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    tvd_settings cfg;
    std::vector<tvd_listener> listeners;
    std::string sig_path, pid_path;
    std::string engine_name, clamd_address;
    bool check_only = false;
    tvd_clamav_config clamav;
    unsigned long long max_children = TVD_DEFAULT_MAX_CHILDREN, n;
    tvd_parse_bases("main.avc=100000,daily.avc=20000", cfg.bases);
    cfg.info = "tavexd " TVX_VERSION " (test scanning daemon)";
    if (const char *t = getenv("TMPDIR"); t && *t)
        cfg.temp_dir = t;

    int c;
    while ((c = getopt_long(argc, argv, "l:s:p:vh", longopts, nullptr)) != -1) {
        std::string err;
        switch (c) {
        case 'l':
            listeners.emplace_back();
            if (!tvd_listener_parse(optarg, listeners.back(), err))
                tvd_bad_usage("address", err.c_str());
            break;
        case 's': sig_path = optarg; break;
        case 'p': pid_path = optarg; break;
        case OPT_BASES:
            if (!tvd_parse_bases(optarg, cfg.bases))
                tvd_bad_usage("base list", optarg);
            break;
        case OPT_INFO: cfg.info = optarg; break;
        case OPT_STREAM_NAME: cfg.stream_name = optarg; break;
        case OPT_MAX_SIZE:
            if (!tvd_parse_number(optarg, 0xFFFFFFFFull, &n))
                tvd_bad_usage("size", optarg);
            cfg.max_size = n;
            break;
        case OPT_TEMP_DIR: cfg.temp_dir = optarg; break;
        case OPT_TIMEOUT:
            if (!tvd_parse_number(optarg, 86400, &n))
                tvd_bad_usage("time-out", optarg);
            cfg.timeout_ms = n ? static_cast<int>(n * 1000) : -1;
            break;
        case OPT_IDLE_TIMEOUT:
            if (!tvd_parse_number(optarg, 86400, &n))
                tvd_bad_usage("time-out", optarg);
            cfg.idle_ms = n ? static_cast<int>(n * 1000) : -1;
            break;
        case OPT_MAX_CHILDREN:
            if (!tvd_parse_number(optarg, 4096, &max_children) || max_children == 0)
                tvd_bad_usage("child limit", optarg);
            break;
        case OPT_CODE:
            if (!tvd_parse_code(optarg, &cfg.fixed_code))
                tvd_bad_usage("response code", optarg);
            cfg.fixed_code_set = true;
            break;
        case OPT_FAULT:
            cfg.fault = tvd_parse_fault(optarg);
            if (cfg.fault < 0)
                tvd_bad_usage("fault", optarg);
            break;
        case OPT_FAULT_ON:
            if (!tvd_parse_number(optarg, 0xFFFFFFFFull, &n))
                tvd_bad_usage("command", optarg);
            cfg.fault_on = static_cast<uint32_t>(n);
            break;
        case OPT_FAULT_BYTES:
            if (!tvd_parse_number(optarg, 1u << 30, &n))
                tvd_bad_usage("byte count", optarg);
            cfg.fault_bytes = static_cast<long>(n);
            break;
        case OPT_CHECK: check_only = true; break;
        case OPT_ENGINE: engine_name = optarg; break;
        case OPT_DATABASE: clamav.database = optarg; break;
        case OPT_CLAMAV_LIMIT:
            if (!tvd_clamav_parse_limit(optarg, clamav, err))
                tvd_bad_usage("engine limit", err.c_str());
            break;
        case OPT_CLAMD: clamd_address = optarg; break;
        case 'v': tvd_log_set_verbose(true); break;
        case 'h': fputs(tvd_usage, stdout); return 0;
        default: fputs(tvd_usage, stderr); return 2;
        }
    }
    if (optind < argc)
        tvd_bad_usage("argument", argv[optind]);

    std::string err;
    if (engine_name == "clamav") {
        // Compiled here, before any fork, so that connection processes
        // share it.
        if (clamav.database.empty())
            tvd_bad_usage("engine", "clamav needs --database DIR");
        clamav.temp_dir = cfg.temp_dir;
        cfg.engine = tvd_clamav_create(clamav, err);
        if (!cfg.engine) {
            fprintf(stderr, "tavexd: %s\n", err.c_str());
            return 2;
        }
    } else if (engine_name == "clamd") {
        if (clamd_address.empty())
            tvd_bad_usage("engine", "clamd needs --clamd ADDRESS");
        cfg.engine = tvd_clamd_engine_make(clamd_address, cfg.timeout_ms, err);
        if (!cfg.engine)
            tvd_bad_usage("clamd address", err.c_str());
    } else if (!engine_name.empty())
        tvd_bad_usage("engine", engine_name.c_str());
    if (sig_path.empty())
        tvd_sigdb_builtin(cfg.db);
    else if (!tvd_sigdb_load(sig_path, cfg.db, err)) {
        fprintf(stderr, "tavexd: %s\n", err.c_str());
        return 2;
    }
    if (check_only) {
        printf("%zu signatures\n", cfg.db.sigs.size());
        return 0;
    }
    if (listeners.empty()) {
        fprintf(stderr, "tavexd: no listening address\n%s", tvd_usage);
        return 2;
    }

    tvd_limits_make_room(max_children);

    signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, none;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGCHLD);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    sigemptyset(&none);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = tvd_on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = tvd_on_child;
    sigaction(SIGCHLD, &sa, nullptr);
    sa.sa_handler = tvd_on_reload;
    sigaction(SIGHUP, &sa, nullptr);

    int status = 0;
    for (tvd_listener &l : listeners) {
        if (!tvd_listener_open(l, err) || !tvd_set_nonblocking(l.fd)) {
            fprintf(stderr, "tavexd: cannot listen on %s\n", err.c_str());
            status = 1;
            break;
        }
        tvd_note("listening on %s", l.bound.empty() ? l.host.c_str() : l.bound.c_str());
    }
    if (status == 0 && !pid_path.empty() && !tvd_pid_file_write(pid_path, listeners, err)) {
        fprintf(stderr, "tavexd: cannot write the pid file %s\n", err.c_str());
        pid_path.clear();
        status = 1;
    }

    std::vector<pid_t> children;
    while (status == 0 && !tvd_stop_signal) {
        pid_t pid;
        while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0)
            for (size_t i = 0; i < children.size(); ++i)
                if (children[i] == pid) {
                    children[i] = children.back();
                    children.pop_back();
                    break;
                }
        if (tvd_reload_asked) {
            // Connections accepted from now on judge with the new set; a bad
            // file leaves the old one in force.
            tvd_reload_asked = 0;
            tvd_sigdb fresh;
            if (cfg.engine) {
                // The new engine is made whole while the old one serves;
                // only a ready one replaces it.
                std::unique_ptr<tvd_engine> next = cfg.engine->reload(err);
                if (next) {
                    cfg.engine = std::move(next);
                    tvd_note("engine reloaded: %s", cfg.engine->info().c_str());
                } else {
                    tvd_error("engine reload failed, old engine kept: %s", err.c_str());
                }
            } else if (sig_path.empty())
                tvd_note("no signature file to reload");
            else if (!tvd_sigdb_load(sig_path, fresh, err))
                tvd_error("reload failed, old signatures kept: %s", err.c_str());
            else {
                cfg.db = std::move(fresh);
                tvd_note("reloaded %zu signatures", cfg.db.sigs.size());
            }
        }
        std::vector<struct pollfd> fds;
        if (children.size() < max_children)
            for (const tvd_listener &l : listeners)
                fds.push_back({l.fd, POLLIN, 0});
        if (ppoll(fds.data(), fds.size(), nullptr, &none) < 0) {
            if (errno == EINTR)
                continue;
            tvd_error("poll: %s", strerror(errno));
            status = 1;
            break;
        }
        for (size_t i = 0; i < fds.size() && children.size() < max_children; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            int cfd = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (cfd < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                    tvd_error("accept: %s", strerror(errno));
                continue;
            }
            pid = fork();
            if (pid == 0)
                tvd_child_main(cfd, listeners, cfg);
            if (pid < 0)
                tvd_error("fork: %s", strerror(errno));
            else
                children.push_back(pid);
            close(cfd);
        }
    }

    // Connections still served (a stalled one waits for its client forever)
    // end with the daemon.
    for (pid_t pid : children)
        kill(pid, SIGTERM);
    for (pid_t pid : children)
        waitpid(pid, nullptr, 0);
    for (tvd_listener &l : listeners)
        tvd_listener_close(l, true);
    if (!pid_path.empty())
        unlink(pid_path.c_str());
    if (tvd_stop_signal)
        tvd_note("stopped by signal %d", static_cast<int>(tvd_stop_signal));
    return status;
}
