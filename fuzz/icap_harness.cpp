// Shared part of the ICAP connection targets: the server end of a socket
// pair runs the request loop of a connection process, the client end is fed
// and drained by a thread; a temp file left in Cache afterwards aborts.
#include "icap_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "config/icapd_config.h"
#include "icap/handle.h"
#include "icap/reply.h"
#include "icap/request_head.h"
#include "io/io.h"
#include "request/entity.h"
#include "request/request.h"
#include "scan/scan_state.h"

namespace {

std::string g_base;                 // the private directory
std::string g_cache;                // its Cache directory, trailing slash
std::vector<std::string> g_tracked; // further paths removed at exit

// Removes what the harness and the target made, newest first.
void fuzz_harness_cleanup()
{
    for (auto it = g_tracked.rbegin(); it != g_tracked.rend(); ++it)
        if (unlink(it->c_str()) != 0)
            rmdir(it->c_str());
    rmdir(g_cache.c_str());
    rmdir(g_base.c_str());
}

// The client end: writes the input, shuts down its writing side, and reads
// and discards everything until the server closes its end.
void fuzz_client(int fd, const uint8_t *data, size_t size)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    size_t sent = 0;
    bool writing = true;
    if (size == 0) {
        shutdown(fd, SHUT_WR);
        writing = false;
    }
    char buf[16384];
    for (;;) {
        struct pollfd p;
        p.fd = fd;
        p.events = POLLIN | (writing ? POLLOUT : 0);
        p.revents = 0;
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (writing && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(fd, data + sent, size - sent);
            if (n > 0)
                sent += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                sent = size;  // the server is gone: nothing more goes out
            if (sent == size) {
                shutdown(fd, SHUT_WR);
                writing = false;
            }
        }
        if (p.revents & (POLLIN | POLLERR | POLLHUP)) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
        }
    }
    close(fd);
}

// The request loop of a connection process, without the idle wait: the
// next head is read at once (an ended connection reads as an empty head).
void fuzz_serve(int fd)
{
    for (;;) {
        g_request.request_time = time(nullptr);
        g_tvx.last_response_code = 0;
        int rc = icap_read_request_head(fd);
        if (rc == 1) {
            int handled = icap_handle(fd);
            if (handled != 200)
                send_error_msg(fd, handled);
        } else {
            send_error_msg(fd, rc);
        }
        bool close_requested = g_request.connection_close;
        icap_entities_release(g_request);
        if (fd == -1 || !g_config.KeepAlive || close_requested || rc == 400)
            break;
        icap_request_reset(g_request);
    }
    if (fd >= 0)
        close(fd);
}

}  // namespace

std::string fuzz_harness_dir(const char *pattern)
{
    signal(SIGPIPE, SIG_IGN);
    std::string base = pattern;
    if (!mkdtemp(&base[0]))
        abort();
    g_base = base;
    g_cache = g_base + "/cache/";
    if (mkdir(g_cache.c_str(), 0700) != 0)
        abort();
    atexit(fuzz_harness_cleanup);
    return g_base;
}

void fuzz_harness_track(const std::string &path) { g_tracked.push_back(path); }

const std::string &fuzz_harness_cache() { return g_cache; }

std::vector<std::string> fuzz_harness_entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    return names;
}

void fuzz_harness_run(const uint8_t *data, size_t size)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        abort();
    readline_reset();
    icap_request_reset(g_request);
    std::thread client(fuzz_client, sv[1], data, size);
    fuzz_serve(sv[0]);
    client.join();
    io_alarm_disarm();
    readline_reset();
    icap_request_reset(g_request);
    std::vector<std::string> left = fuzz_harness_entries(g_cache);
    for (const std::string &n : left)
        fprintf(stderr, "temp file left behind: %s%s\n", g_cache.c_str(), n.c_str());
    if (!left.empty())
        abort();
}
