// The agent side of a configuration load. Messages are those an
// administrator knows from the agent channel; at start-up they also go to
// standard error, since the log may not be open yet.
#include "config/agent_channel.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

#include "config/address_connect.h"
#include "config/daemon_address.h"
#include "io/io.h"
#include "log/log.h"
#include "log/process_id.h"

namespace {

const char agent_name[] = "tavex-icapd";

// The system error text of the last failure, "" when none is set (a peer
// that ended the data).
std::string error_text() { return errno ? strerror(errno) : ""; }

// How a failure ends: at start-up the process goes (at_once: without exit
// handlers, as after a broken exchange); on a reload the load fails.
[[noreturn]] void agent_fail(bool startup, bool at_once, const std::string &log_line, const std::string &err_line)
{
    if (!log_line.empty())
        icapd_log(LOG_L_ERROR, "%s", log_line.c_str());
    if (startup) {
        fputs(err_line.c_str(), stderr);
        fflush(stderr);
        if (at_once)
            _exit(1);
        exit(1);
    }
    std::string what = err_line;
    if (!what.empty() && what.back() == '\n')
        what.pop_back();
    throw std::runtime_error(what);
}

std::string line(const char *fmt, const std::string &a)
{
    char buf[512];
    snprintf(buf, sizeof buf, fmt, a.c_str());
    return buf;
}

// Reads one reply integer; false on an error, a time-out or an end of data.
// After a read that worked errno is clear again: a wrong value is no
// system error.
bool read_word(int &fd, uint32_t &v)
{
    errno = 0;
    bool ok = io_read_u32(v, fd) == 4;
    if (ok)
        errno = 0;
    return ok;
}

// Reads and drops n bytes in pieces.
bool discard(int &fd, uint32_t n)
{
    char buf[4096];
    while (n > 0) {
        size_t take = n < sizeof buf ? n : sizeof buf;
        errno = 0;
        if (io_read_exact(fd, buf, take, false) != static_cast<ssize_t>(take))
            return false;
        n -= static_cast<uint32_t>(take);
    }
    return true;
}

}  // namespace

size_t agent_exchange(int &fd, bool startup)
{
    const uint32_t request[] = {AGENT_CMD_CONFIG, 1, 51, sizeof agent_name - 1};
    bool ok = true;
    for (uint32_t w : request)
        ok = ok && io_write_u32(fd, w) == 4;
    ok = ok && io_write_all(fd, agent_name, sizeof agent_name - 1) == static_cast<ssize_t>(sizeof agent_name - 1);
    ok = ok && io_write_u32(fd, static_cast<uint32_t>(tvx_process_id())) == 4;
    if (!ok) {
        std::string l = line("Error in communication with agent: %s\n", error_text());
        agent_fail(startup, true, l, l);
    }

    uint32_t status = 0, one = 0, unused = 0;
    bool got = read_word(fd, status) && status == 2 && read_word(fd, one) && one == 1;
    if (!got) {
        uint32_t shown = status != 2 ? status : one;
        char buf[512];
        snprintf(buf, sizeof buf, "invalid agent response (%i) %s\n", static_cast<int>(shown), error_text().c_str());
        agent_fail(startup, true, buf, buf);
    }
    if (!read_word(fd, unused)) {
        char buf[512];
        snprintf(buf, sizeof buf, "invalid agent response (%i) %s\n", static_cast<int>(unused), error_text().c_str());
        agent_fail(startup, true, buf, buf);
    }

    uint32_t block = 0;
    if (!read_word(fd, block) || block > AGENT_BLOCK_MAX || !discard(fd, block)) {
        std::string err = errno ? strerror(errno) : block > AGENT_BLOCK_MAX ? strerror(EFBIG) : "";
        agent_fail(startup, true, line("Error reading data from agent: %s\n", err),
                   line("invalid agent response: %s\n", err));
    }

    uint32_t length = 0;
    if (!read_word(fd, length)) {
        std::string l = line("invalid agent response: %s\n", error_text());
        agent_fail(startup, true, l, l);
    }
    if (length > CONFIG_TEXT_MAX) {
        char buf[160];
        snprintf(buf, sizeof buf, "invalid agent response: configuration text of %u bytes is longer than %u\n",
                 static_cast<unsigned>(length), static_cast<unsigned>(CONFIG_TEXT_MAX));
        agent_fail(startup, true, buf, buf);
    }
    return length;
}

int agent_open_configuration(icapd_config &c, const std::string &source, bool startup, size_t *length)
{
    c.agent_addresses.clear();
    if (!daemon_address_parse(source, c.agent_addresses))
        agent_fail(startup, false, "", line("Error in parse path to agent socket %s\n", source));

    int fd = -1;
    for (const DaemonAddress &a : c.agent_addresses) {
        fd = daemon_address_connect(a);
        if (fd >= 0)
            break;
    }
    if (fd < 0) {
        std::string l = line("Can`t connect to agent from %s\n",
                             c.agent_addresses.empty() ? "[]: please, specify correct address after -f option" : source);
        agent_fail(startup, false, l, l);
    }

    // The whole exchange, the configuration text included, is bounded by
    // Timeout (the running value on a reload, the default at start-up).
    io_alarm_arm(io_timeout());
    try {
        *length = agent_exchange(fd, startup);
    } catch (...) {
        io_alarm_disarm();
        if (fd >= 0)
            close(fd);
        throw;
    }
    return fd;
}
