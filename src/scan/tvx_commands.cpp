// Virus-base count and information text from the scanning daemon. Lengths
// and counts read from the daemon are bounded before anything is
// allocated; a failed exchange closes the connection, whose stream can no
// longer be trusted, so that the next command reconnects.
#include "scan/tvx_commands.h"

#include <cstring>
#include <string>

#include "config/icapd_config.h"
#include "io/io.h"
#include "log/log.h"
#include "scan/scan_state.h"
#include "scan/tvx_connect.h"
#include "scan/tvx_limits.h"

namespace {

bool read_u32(int &fd, uint32_t &v) { return io_read_u32(v, fd) == 4; }

// Reads len bytes into text, keeping what precedes the first zero byte.
bool read_text(int &fd, uint32_t len, std::string &text)
{
    std::string buf(len, '\0');
    if (len > 0 && io_read_exact(fd, &buf[0], len, false) != static_cast<ssize_t>(len))
        return false;
    text.assign(buf.c_str(), strnlen(buf.c_str(), len));
    return true;
}

}  // namespace

int tvx_get_virus_num(int &fd)
{
    if (fd < 0) {
        fd = tvx_connect(g_config.tavex_addresses, false, true);
        if (fd < 0) {
            icapd_log(LOG_L_ERROR, "can not open connection with daemon!\n");
            return 0;
        }
    }
    uint32_t n = 0;
    if (io_write_u32(fd, TAVEX_CMD_BASES) != 4 || !read_u32(fd, n)) {
        icapd_log(LOG_L_ERROR, "communication error with daemon!\n");
        close_fd(fd);
        return 0;
    }
    g_tvx.virus_total = 0;
    if (n == 0)
        return 200;
    if (n > TVX_MAX_BASES) {
        icapd_log(LOG_L_ERROR, "tvx_get_virus_num: daemon announced %u virus bases (limit %u)\n", n,
                  TVX_MAX_BASES);
        close_fd(fd);
        return 0;
    }
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t len = 0;
        if (!read_u32(fd, len)) {
            icapd_log(LOG_L_ERROR, "communication error with daemon (%i) !\n", static_cast<int>(i));
            close_fd(fd);
            return 0;
        }
        if (len > TVX_MAX_BASE_NAME) {
            icapd_log(LOG_L_ERROR, "tvx_get_virus_num: daemon announced a base name of %u bytes (limit %u)\n",
                      len, TVX_MAX_BASE_NAME);
            close_fd(fd);
            return 0;
        }
        std::string name;
        uint32_t count = 0;
        // A short record leaves the stream out of step: nothing after it
        // can be read as a record, so the listing ends here.
        if (!read_text(fd, len, name) || !read_u32(fd, count)) {
            icapd_log(LOG_L_ERROR, "communication error with daemon!\n");
            close_fd(fd);
            return 0;
        }
        icapd_log(LOG_L_TRACE, "tvx_get_virus_num: loaded virus base %s with %i viruses\n", name.c_str(),
                  static_cast<int>(count));
        g_tvx.virus_total += count;
    }
    return 200;
}

int tvx_get_info(int &fd)
{
    if (fd < 0) {
        fd = tvx_connect(g_config.tavex_addresses, false, true);
        if (fd < 0)
            return 0;
    }
    uint32_t len = 0;
    if (io_write_u32(fd, TAVEX_CMD_INFO) != 4 || !read_u32(fd, len)) {
        icapd_log(LOG_L_ERROR, "communication error with daemon !\n");
        close_fd(fd);
        return 0;
    }
    if (len > TVX_MAX_INFO) {
        icapd_log(LOG_L_ERROR, "tvx_get_info: daemon announced %u bytes of information (limit %u)\n", len,
                  TVX_MAX_INFO);
        close_fd(fd);
        return 0;
    }
    std::string text;
    if (!read_text(fd, len, text)) {
        close_fd(fd);
        return 0;
    }
    g_tvx.release = text;
    icapd_log(LOG_L_FLOW, "tvx_get_info:\n%s\n", g_tvx.release.c_str());
    return 200;
}
