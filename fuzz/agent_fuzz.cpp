// Fuzz target for the agent's replies: an input is everything an agent
// sends back on the configuration connection. The daemon's request goes
// out over a socket pair, the reply is read and checked, and a
// configuration text that passes is parsed as a reload would parse it.
// Refusals are the normal outcome; anything else is not.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <sys/socket.h>
#include <unistd.h>

#include "config/agent_channel.h"
#include "config/config_load.h"
#include "config/icapd_config.h"
#include "io/io.h"
#include "log/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Larger replies than a socket buffer holds would need a writer of
    // their own; the reply's shape fits well below that.
    if (size > 65536)
        return 0;
    log_set_level_mask(0);
    io_set_timeout(1);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    size_t off = 0;
    while (off < size) {
        ssize_t w = write(sv[1], data + off, size - off);
        if (w <= 0)
            break;
        off += static_cast<size_t>(w);
    }
    shutdown(sv[1], SHUT_WR);
    int fd = sv[0];
    try {
        size_t len = agent_exchange(fd, false);
        icapd_config c;
        // The text is read from the same connection, as a load does; the
        // checks after the parse need a Cache and UcfDirectory that exist.
        config_load_from_fd(c, fd, len);
    } catch (const std::exception &) {
    }
    if (fd >= 0)
        close(fd);
    close(sv[1]);
    return 0;
}
