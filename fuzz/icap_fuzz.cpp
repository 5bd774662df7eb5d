// Fuzz target for the ICAP connection: one input is the byte stream a client
// sends on a connection. The server end of a socket pair runs the request
// loop of a connection process; the client end is fed and drained by a thread.
// No scanning daemon, no alarm; a temp file left in Cache afterwards aborts.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "config/icapd_config.h"
#include "icap/handle.h"
#include "icap/reply.h"
#include "icap/request_head.h"
#include "io/io.h"
#include "log/log.h"
#include "request/request.h"
#include "scan/scan_state.h"

namespace {

// Longest input fed to one connection.
constexpr size_t fuzz_input_max = 65536;

std::string g_base;   // the private directory of Cache and Templates
std::string g_cache;  // the Cache directory, with its trailing slash

// Removes the private directories (Cache is empty after every input).
void fuzz_cleanup()
{
    unlink((g_base + "/templates/ERR_DOWNLOAD_BLOCK").c_str());
    rmdir((g_base + "/templates").c_str());
    rmdir(g_cache.c_str());
    rmdir(g_base.c_str());
}

// Makes a private Cache and Templates directory and a configuration
// without scanning daemon or time-out, once per process.
void fuzz_setup()
{
    signal(SIGPIPE, SIG_IGN);
    char base[] = "/tmp/tvx-icap-fuzz-XXXXXX";
    if (!mkdtemp(base))
        abort();
    g_base = base;
    g_cache = g_base + "/cache/";
    std::string templates = std::string(base) + "/templates";
    if (mkdir(g_cache.c_str(), 0700) != 0 || mkdir(templates.c_str(), 0700) != 0)
        abort();
    FILE *f = fopen((templates + "/ERR_DOWNLOAD_BLOCK").c_str(), "w");
    if (!f)
        abort();
    fputs("<p>blocked: $URL$</p>\n", f);
    fclose(f);
    atexit(fuzz_cleanup);
    g_config = icapd_config();
    g_config.TavexAddress.clear();
    g_config.tavex_addresses.clear();
    g_config.Cache = g_cache;
    g_config.Templates = templates;
    g_config.Timeout = 0;
    g_config.KeepAlive = true;
    g_config.UsePreview = true;
    io_set_timeout(0);
    log_set_level_mask(0);
}

// True when the Cache directory holds no entry.
bool cache_empty()
{
    DIR *d = opendir(g_cache.c_str());
    if (!d)
        return false;
    bool empty = true;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") {
            fprintf(stderr, "temp file left behind: %s%s\n", g_cache.c_str(), n.c_str());
            empty = false;
        }
    }
    closedir(d);
    return empty;
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
        last_response_code = 0;
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        fuzz_setup();
        ready = true;
    }
    if (size > fuzz_input_max)
        return 0;
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
    if (!cache_empty())
        abort();
    return 0;
}
