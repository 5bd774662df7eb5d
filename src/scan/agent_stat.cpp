// Writing one statistics record to the agent. Nothing is retried or
// queued: a record that cannot be delivered is logged and lost.
#include "scan/agent_stat.h"

#include <cerrno>
#include <cstring>

#include "config/agent_channel.h"
#include "config/config_load.h"
#include "config/icapd_config.h"
#include "io/io.h"
#include "log/log.h"
#include "scan/tvx_connect.h"

namespace {

void put_u32(std::string &out, uint32_t v)
{
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
    out.append(b, 4);
}

void put_text(std::string &out, const std::string &s)
{
    put_u32(out, static_cast<uint32_t>(s.size()));
    out += s;
}

// The whole record, written in one go.
std::string build_record(const icap_request &rq, const std::string &quarantine)
{
    const bool with_types = g_config.SendStat;
    const bool with_url = g_config.SendUrlsWithViruses;
    const uint32_t n = with_types ? static_cast<uint32_t>(rq.viruses_list.size()) : 0;
    std::string out;
    put_u32(out, AGENT_CMD_STAT);
    put_u32(out, with_url ? 4 : 3);
    put_text(out, quarantine);
    put_u32(out, n);
    for (uint32_t i = 0; i < n; ++i) {
        put_text(out, rq.viruses_list[i].name);
        put_u32(out, static_cast<uint32_t>(rq.viruses_list[i].type));
    }
    if (with_url) {
        put_u32(out, 1);
        put_text(out, rq.url);
        put_u32(out, n);
        for (uint32_t i = 0; i < n; ++i)
            put_text(out, rq.viruses_list[i].name);
    }
    return out;
}

}  // namespace

void send_agent_stat(const icap_request &rq, const std::string &quarantine)
{
    icapd_log(LOG_L_TRACE, "Going to send stat/urls to agent...\n");
    int fd = tvx_connect(g_config.agent_addresses, false, false);
    if (fd < 0) {
        icapd_log(LOG_L_ERROR, "Can`t connect to agent from %s\n",
                  g_config.agent_addresses.empty() ? "[]: please, specify correct address after -f option"
                                                   : g_startup.source.c_str());
        return;
    }
    errno = 0;
    uint32_t reply = 0;
    const std::string record = build_record(rq, quarantine);
    bool ok = io_write_all(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size()) &&
              io_read_u32(reply, fd) == 4 && reply != 0;
    int err = errno;
    close_fd(fd);
    if (ok)
        icapd_log(LOG_L_TRACE, "Success send %i record(s) to agent (q = %s); url=%s (%i)\n",
                  static_cast<int>(rq.viruses_list.size()), quarantine.c_str(), rq.url,
                  g_config.SendUrlsWithViruses ? 1 : 0);
    else
        icapd_log(LOG_L_ERROR, "Error in send stat to agent: %s\n", strerror(err));
}
