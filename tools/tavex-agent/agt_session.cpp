// Dispatch of one connection of the stand-in agent on its command word, the
// silent fault and unknown commands. Never answers a command it does not know.
#include "agt_session.h"

#include <cstdint>
#include <cstring>

#include "agt_config_exchange.h"
#include "agt_log.h"
#include "agt_proto.h"
#include "agt_stat.h"
#include "agt_wire.h"

static const struct {
    const char *name;
    int mode;
} agt_fail_names[] = {
    {"silent", AGT_FAIL_SILENT},         {"status3", AGT_FAIL_STATUS3},
    {"close-mid", AGT_FAIL_CLOSE_MID},   {"huge-block", AGT_FAIL_HUGE_BLOCK},
    {"huge-config", AGT_FAIL_HUGE_CONFIG}, {"reject-stat", AGT_FAIL_REJECT_STAT},
};

int agt_fail_parse(const char *name)
{
    for (const auto &f : agt_fail_names)
        if (!strcmp(name, f.name))
            return f.mode;
    return -1;
}

const char *agt_fail_name(int mode)
{
    for (const auto &f : agt_fail_names)
        if (f.mode == mode)
            return f.name;
    return "none";
}

int agt_session_run(int fd, const agt_settings &s)
{
    if (s.fail == AGT_FAIL_SILENT) {
        agt_log("connection held without an answer (silent)");
        agt_hold_until_closed(fd);
        agt_log("silent: the client closed");
        return AGT_EX_DONE;
    }
    agt_reader r(fd, agt_deadline_after(s.timeout_s));
    uint32_t command;
    int io = r.u32(command);
    if (io != AGT_IO_OK) {
        agt_log("reading the command: %s; closing", agt_io_text(io));
        return AGT_EX_IO;
    }
    switch (command) {
    case AGT_CMD_CONFIG: return agt_config_exchange(r, fd, s);
    case AGT_CMD_STAT: return agt_stat_exchange(r, fd, s);
    }
    agt_log("unknown command %u (0x%x); closing without a reply", command, command);
    return AGT_EX_REFUSED;
}
