// Opening one connection to a scanning-daemon or agent address (TCP by
// host and service, or a Unix-domain socket path). Failures are logged
// here and reported as -1; never sends or reads a byte.
#include "config/address_connect.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "config/daemon_address.h"
#include "log/log.h"

namespace {

int connect_inet(const DaemonAddress &a)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    int rc = getaddrinfo(a.host.c_str(), a.serv.c_str(), &hints, &res);
    if (rc != 0) {
        icapd_log(LOG_L_INFO, "connect error for %s, %s: %s\n", a.host.c_str(), a.serv.c_str(),
                  gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    int err = 0;
    for (struct addrinfo *ai = res; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        int c;
        do {
            c = connect(fd, ai->ai_addr, ai->ai_addrlen);
        } while (c < 0 && errno == EINTR);
        if (c == 0)
            break;
        err = errno;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0)
        icapd_log(LOG_L_ERROR, "connect error for %s, %s: %s\n", a.host.c_str(), a.serv.c_str(),
                  strerror(err));
    return fd;
}

int connect_local(const DaemonAddress &a)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        icapd_log(LOG_L_ERROR, "error in open socket %s\n", strerror(errno));
        return -1;
    }
    struct sockaddr_un sun;
    memset(&sun, 0, sizeof sun);
    sun.sun_family = AF_UNIX;
    static_assert(sizeof sun.sun_path > DAEMON_ADDR_LOCAL_PATH_MAX, "socket path buffer too small");
    strncpy(sun.sun_path, a.host.c_str(), DAEMON_ADDR_LOCAL_PATH_MAX);
    int c;
    do {
        c = connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun);
    } while (c < 0 && errno == EINTR);
    if (c < 0) {
        icapd_log(LOG_L_INFO, "error in open connection with %s: %s\n", sun.sun_path, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int daemon_address_connect(const DaemonAddress &addr)
{
    icapd_log(LOG_L_TRACE, "TRY connect to host=%s serv=%s type=%s\n", addr.host.c_str(),
              addr.serv.c_str(), daemon_address_type_name(addr.type));
    assert(addr.type == DAEMON_ADDR_LOCAL || addr.type == DAEMON_ADDR_INET);
    if (addr.type == DAEMON_ADDR_INET)
        return connect_inet(addr);
    if (addr.type == DAEMON_ADDR_LOCAL)
        return connect_local(addr);
    return -1;
}
