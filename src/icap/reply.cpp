// ICAP reply heads and their sending. Each head is one string, written with
// one write-all call; a failed write has already closed the connection
// when it was a hard error.
#include "icap/reply.h"

#include <new>

#include "config/icapd_config.h"
#include "icap/x_headers.h"
#include "io/io.h"
#include "log/log.h"
#include "scan/scan_state.h"
#include "scan/tvx_commands.h"

namespace {

constexpr size_t head_initial_size = 10000;

bool send_text(int &fd, const std::string &text)
{
    return io_write_all(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// The OPTIONS reply shows the daemon's current virus-record count.
void options_refresh_virus_total()
{
    if (g_config.tavex_addresses.empty())
        return;
    // Opens this process's daemon connection when it has none; a failure is
    // logged there and leaves the count as the client left it.
    tvx_get_virus_num(g_tvx.daemon_fd);
}

}  // namespace

std::string istag_suffix()
{
    return "\r\nISTAG: \"tavex-icapd" + std::to_string(ICAPD_VERSION_MAJOR) + "." +
           std::to_string(ICAPD_VERSION_MINOR) + "=" + std::to_string(g_tvx.virus_total) + "\"\r\n\r\n";
}

std::string icap_options_text()
{
    std::string t = "ICAP/1.0 200 OK\r\nMethods: RESPMOD, OPTIONS, REQMOD\r\nX-Include: X-Client-IP\r\n"
                    "Service: Tavex (R) icapd " +
                    std::to_string(ICAPD_VERSION_MAJOR) + "." + std::to_string(ICAPD_VERSION_MINOR) + "\r\n";
    if (!g_config.KeepAlive)
        t += "Connection: close\r\n";
    if (g_config.UsePreview)
        t += "Allow: 204\r\nPreview: 0\r\nTransfer-Preview: *\r\n";
    t += "Options-TTL: 3600\r\nEncapsulated: null-body=0";
    t += istag_suffix();
    return t;
}

int icap_send_options(int &fd)
{
    options_refresh_virus_total();
    std::string t = icap_options_text();
    bool ok = send_text(fd, t);
    icapd_log(LOG_L_TRACE, "Send options \n%s\n", t.c_str());
    if (!ok)
        io_drop(fd);  // part of the reply may be out: nothing may follow it
    return ok ? 200 : 0;
}

std::string icap_error_text(int code)
{
    std::string t = code == 400   ? "ICAP/1.0 400 Bad Request"
                    : code == 500 ? "ICAP/1.0 500 Server Error"
                                  : "ICAP/1.0 200 OK";
    t += "\r\nEncapsulated: null-body=0";
    if (!g_config.KeepAlive)
        t += "\r\nConnection: close";
    t += istag_suffix();
    return t;
}

void send_error_msg(int &fd, int code)
{
    if (fd == -1)
        return;
    std::string t = icap_error_text(code);
    if (!send_text(fd, t))
        icapd_log(LOG_L_ERROR, "Error in send_error_msg()\n");
    icapd_log(LOG_L_TRACE, "Return error \n%s\n", t.c_str());
}

std::string icap_204_text() { return "ICAP/1.0 204 No Content" + istag_suffix(); }

int icap_send_204(int &fd)
{
    if (!send_text(fd, icap_204_text())) {
        io_drop(fd);  // part of the reply may be out: nothing may follow it
        return 0;
    }
    icapd_log(LOG_L_FLOW, "preview ok for %s\n", g_request.url);
    return 200;
}

int icap_send_continue(int &fd)
{
    return send_text(fd, "ICAP/1.0 100 Continue" + istag_suffix()) ? 200 : 0;
}

int icap_compose_200_head(const icap_request &rq, std::string &head)
{
    try {
        head.clear();
        head.reserve(head_initial_size);
        head += "ICAP/1.0 200 OK\r\nEncapsulated: ";
        head += rq.reply_encapsulated;
        if (!g_config.KeepAlive)
            head += "\r\nConnection: close";
        if (!rq.viruses_list.empty() && add_x_headers(head, rq) != 200) {
            icapd_log(LOG_L_FLOW, "icap_handle: error in add x headers\n");
            return 0;
        }
        if (rq.action_name)
            head += std::string("\r\nX-Response-Info: ") + rq.action_name;
        if (rq.response_desc)
            head += std::string("\r\nX-Response-Desc: ") + rq.response_desc;
        head += istag_suffix();
    } catch (const std::bad_alloc &) {
        icapd_log(LOG_L_FLOW, "icap_handle: error in add x headers\n");
        return 0;
    }
    return 200;
}

int icap_send_200_head(int &fd, const icap_request &rq)
{
    std::string head;
    if (icap_compose_200_head(rq, head) != 200)
        return 0;
    if (!send_text(fd, head)) {
        icapd_log(LOG_L_FLOW, "icap_handle: error in send header>>> %s\n", head.c_str());
        return 0;
    }
    icapd_log(LOG_L_FLOW, "icap_handle: send header>>> \n[%s]\n\n", head.c_str());
    return 200;
}
