// Binds the stand-in agent's listening sockets and writes its pid file.
// Never removes a socket file that another live process is serving, nor any
// file that is not a socket.
#include "agt_listen.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "agt_log.h"

bool agt_listener_parse(const std::string &word, agt_listener &l, std::string &error)
{
    size_t colon = word.find(':');
    std::string scheme = colon == std::string::npos ? "" : word.substr(0, colon);
    std::string rest = colon == std::string::npos ? "" : word.substr(colon + 1);
    if (scheme == "local") {
        struct sockaddr_un sun;
        if (rest.empty() || rest.size() >= sizeof sun.sun_path) {
            error = "socket path of " + word + " is empty or longer than " + std::to_string(sizeof sun.sun_path - 1) +
                    " bytes";
            return false;
        }
        l.local = true;
        l.host = rest;
        return true;
    }
    if (scheme == "inet") {
        size_t at = rest.find('@');
        l.local = false;
        l.port = rest.substr(0, at);
        l.host = at == std::string::npos ? "127.0.0.1" : rest.substr(at + 1);
        if (l.port.empty() || l.host.empty()) {
            error = "address " + word + " needs a port and a host (inet:PORT@HOST)";
            return false;
        }
        return true;
    }
    error = "address " + word + " is neither local:PATH nor inet:PORT@HOST";
    return false;
}

// True when some process accepts connections on the socket file.
static bool agt_socket_is_live(const struct sockaddr_un &sun)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true;
    bool live = connect(fd, reinterpret_cast<const struct sockaddr *>(&sun), sizeof sun) == 0 ||
                errno != ECONNREFUSED;
    close(fd);
    return live;
}

static bool agt_open_local(agt_listener &l, std::string &error)
{
    struct sockaddr_un sun;
    memset(&sun, 0, sizeof sun);
    sun.sun_family = AF_UNIX;
    memcpy(sun.sun_path, l.host.data(), l.host.size());
    struct stat st;
    if (lstat(l.host.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || agt_socket_is_live(sun)) {
            error = l.host + ": exists and is not a stale socket";
            return false;
        }
        unlink(l.host.c_str());
    }
    l.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool bound = l.fd >= 0 && bind(l.fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) == 0;
    if (bound && listen(l.fd, 64) == 0) {
        l.bound = l.host;
        return true;
    }
    error = l.host + ": " + strerror(errno);
    if (bound)
        unlink(l.host.c_str());
    if (l.fd >= 0)
        close(l.fd);
    l.fd = -1;
    return false;
}

static bool agt_open_inet(agt_listener &l, std::string &error)
{
    struct addrinfo hints, *res = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    int rc = getaddrinfo(l.host.c_str(), l.port.c_str(), &hints, &res);
    if (rc != 0) {
        error = l.host + " port " + l.port + ": " + gai_strerror(rc);
        return false;
    }
    error = l.host + " port " + l.port + ": no address";
    for (struct addrinfo *ai = res; ai && l.fd < 0; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, 64) != 0) {
            error = l.host + " port " + l.port + ": " + strerror(errno);
            close(fd);
            continue;
        }
        l.fd = fd;
    }
    freeaddrinfo(res);
    if (l.fd < 0)
        return false;

    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getsockname(l.fd, reinterpret_cast<struct sockaddr *>(&ss), &len) != 0 ||
        getnameinfo(reinterpret_cast<struct sockaddr *>(&ss), len, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        error = l.host + " port " + l.port + ": cannot read the bound address";
        close(l.fd);
        l.fd = -1;
        return false;
    }
    // A pid-file line is host:port split at the first colon, which an IPv6
    // literal cannot pass through: such a listener is only logged.
    if (strchr(host, ':'))
        agt_log("listening on [%s]:%s, which the pid file cannot name", host, port);
    else
        l.bound = std::string(host) + ":" + port;
    return true;
}

bool agt_listener_open(agt_listener &l, std::string &error)
{
    return l.local ? agt_open_local(l, error) : agt_open_inet(l, error);
}

void agt_listener_close(agt_listener &l)
{
    if (l.fd < 0)
        return;
    close(l.fd);
    l.fd = -1;
    if (l.local)
        unlink(l.host.c_str());
}

bool agt_pid_file_write(const std::string &path, const std::vector<agt_listener> &ls, std::string &error)
{
    std::string text = std::to_string(getpid()) + "\n";
    for (const agt_listener &l : ls)
        if (!l.bound.empty())
            text += l.bound + "\n";
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0 && close(fd) != 0)
        ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    error = path + ": " + strerror(errno);
    unlink(tmp.c_str());
    return false;
}
