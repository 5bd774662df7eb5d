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

bool put_text(int &fd, const std::string &s)
{
    return io_write_u32(fd, static_cast<uint32_t>(s.size())) == 4 &&
           (s.empty() || io_write_all(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size()));
}

bool write_record(int &fd, const icap_request &rq, const std::string &quarantine)
{
    const bool with_types = g_config.SendStat;
    const bool with_url = g_config.SendUrlsWithViruses;
    const uint32_t n = with_types ? static_cast<uint32_t>(rq.viruses_list.size()) : 0;
    bool ok = io_write_u32(fd, AGENT_CMD_STAT) == 4 && io_write_u32(fd, with_url ? 4 : 3) == 4 &&
              put_text(fd, quarantine) && io_write_u32(fd, n) == 4;
    for (uint32_t i = 0; ok && i < n; ++i)
        ok = put_text(fd, rq.viruses_list[i].name) &&
             io_write_u32(fd, static_cast<uint32_t>(rq.viruses_list[i].type)) == 4;
    if (ok && with_url) {
        ok = io_write_u32(fd, 1) == 4 && put_text(fd, rq.url) && io_write_u32(fd, n) == 4;
        for (uint32_t i = 0; ok && i < n; ++i)
            ok = put_text(fd, rq.viruses_list[i].name);
    }
    return ok;
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
    bool ok = write_record(fd, rq, quarantine) && io_read_u32(reply, fd) == 4 && reply != 0;
    int err = errno;
    close_fd(fd);
    if (ok)
        icapd_log(LOG_L_TRACE, "Success send %i record(s) to agent (q = %s); url=%s (%i)\n",
                  static_cast<int>(rq.viruses_list.size()), quarantine.c_str(), rq.url,
                  g_config.SendUrlsWithViruses ? 1 : 0);
    else
        icapd_log(LOG_L_ERROR, "Error in send stat to agent: %s\n", strerror(err));
}
