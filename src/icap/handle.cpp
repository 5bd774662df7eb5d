// icap_handle and icap_hold_entities: the order in which a REQMOD or
// RESPMOD meets reception, the policy decision, the white list, the scan
// and the reply. The scan itself is the scan flow's.
#include "icap/handle.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>
#include <unistd.h>

#include "icap/decision.h"
#include "icap/scan_flow.h"
#include "icap/receive.h"
#include "icap/reply.h"
#include "icap/send.h"
#include "io/io.h"
#include "log/log.h"
#include "report/template.h"
#include "scan/scan_state.h"
#include "scan/tvx_action.h"

namespace {

// The scan put a report page into the body: the HTTP header becomes the
// page's header, and the message a response (also for REQMOD).
void header_to_report(icap_entity &hdr, icap_entity &body)
{
    hdr.name = "res-hdr";
    body.name = "res-body";
    icap_make_report_header(hdr, body);
}

void append_encapsulated(icap_request &rq, const std::string &name, unsigned offset)
{
    size_t len = strlen(rq.reply_encapsulated);
    snprintf(rq.reply_encapsulated + len, sizeof rq.reply_encapsulated - len, "%s%s=%u", len ? ", " : "",
             name.c_str(), offset);
}

enum check_result { CHECK_GO_ON, CHECK_END_WALK, CHECK_RETURN };

// The check for header entity i: the decision of a message without body,
// the white list, the scan of the following body. May set *result; with
// CHECK_RETURN the walk returns *ret at once.
check_result check_header(icap_request &rq, size_t i, int *result, int *ret)
{
    if (!rq.decided && (rq.preview < 0 || rq.null_body)) {
        const char *report;
        if (icap_policy_decide(rq, false, &report) == ICAP_RES_BLOCKED) {
            icapd_log(LOG_L_FLOW, "icap_hold_entities: in block list -> block\n");
            *ret = icap_replace_all_entity_with_report(rq, REPORT_DOWNLOAD_BLOCK) == 200 ? 200 : 0;
            return CHECK_RETURN;
        }
    }
    if (rq.preview < 0 || rq.null_body) {
        if (icap_url_in_white_hosts(rq)) {
            icapd_log(LOG_L_FLOW, "icap_hold_entities: in white list -> skip check for viruses\n");
            return CHECK_GO_ON;
        }
        if (rq.null_body) {
            *result = 200;
            return CHECK_GO_ON;
        }
    }
    if (i + 1 >= rq.entities.size()) {
        *result = 200;
        return CHECK_END_WALK;
    }
    icap_entity &hdr = rq.entities[i];
    icap_entity &body = rq.entities[i + 1];
    if (!icap_is_body_entity(body)) {
        *result = 200;
        return CHECK_GO_ON;
    }

    // An empty body has no temp file; the scan passes it without one.
    if (icap_scan_configured()) {
        switch (icap_scan_body(body, rq)) {
        case TVX_RES_FAILED:
            icapd_log(LOG_L_ERROR, "communication error with daemon!\n");
            if (icap_build_page(rq, body, REPORT_FAILED_CHECK, false) != 200) {
                *ret = 0;
                return CHECK_RETURN;
            }
            header_to_report(hdr, body);
            return CHECK_GO_ON;
        case TVX_RES_PAGE:
            header_to_report(hdr, body);
            return CHECK_GO_ON;
        case TVX_RES_BODY:
            icap_rewrite_content_length(hdr, body.size);
            *result = 200;
            return CHECK_GO_ON;
        default:
            break;  // clean
        }
    }
    if (rq.allow_204) {
        icapd_log(LOG_L_FLOW, "icap_hold_entities: can send allow_204\n");
        *result = ICAP_RES_NO_CHANGE;
    } else {
        *result = 200;
    }
    return CHECK_GO_ON;
}

// A 204 that could not be sent has closed the connection.
int send_204(int &fd) { return icap_send_204(fd) == 200 ? 200 : 0; }

int handle_modification(icap_request &rq, int &fd)
{
    if (rq.entities.empty()) {
        io_alarm_disarm();
        icapd_log(LOG_L_ERROR, "icap_handle: %s request without Encapsulated\n", rq.method);
        return 400;
    }
    icapd_log(LOG_L_TRACE, "icap_handle: enchain non empty\n");
    int res = icap_dump_entities(rq, fd);
    io_alarm_disarm();
    if (res == ICAP_RES_NOT_STORED)
        return 500;  // the request was read to its end: the error reply follows
    if (res == ICAP_RES_ERROR) {
        icapd_log(LOG_L_FLOW, "go out from icap_dump_entities with error (may be icap client close connection) \n");
        return 0;
    }
    icapd_log(LOG_L_FLOW, "go out from icap_dump_entities with res=%i\n", res);
    if (res == ICAP_RES_NO_CHANGE)
        return send_204(fd);
    if (res != ICAP_RES_BLOCKED) {
        int held = icap_hold_entities(rq);
        if (held == 0)
            return 0;
        if (held == ICAP_RES_NO_CHANGE)
            return send_204(fd);
    }
    return icap_send_reply_200(rq, fd);
}

}  // namespace

int icap_rewrite_content_length(icap_entity &hdr, unsigned long size)
{
    static const char field[] = "content-length:";
    const size_t flen = sizeof field - 1;
    std::string &b = hdr.buffer;
    for (size_t ls = 0; ls < b.size(); ls = b.find('\n', ls), ls = ls == std::string::npos ? ls : ls + 1) {
        if (b.size() - ls < flen || strncasecmp(b.c_str() + ls, field, flen) != 0)
            continue;
        size_t value = ls + flen;
        size_t eol = b.find_first_of("\r\n", value);
        if (eol == std::string::npos)
            eol = b.size();
        b.replace(value, eol - value, " " + std::to_string(size));
        hdr.size = static_cast<unsigned>(b.size());
        return 1;
    }
    return 0;
}

int icap_hold_entities(icap_request &rq)
{
    unsigned offset = 0;
    int result = 200;
    rq.reply_encapsulated[0] = '\0';
    for (size_t i = 0; i < rq.entities.size(); ++i) {
        icap_entity &e = rq.entities[i];
        e.offset = offset;
        icapd_log(LOG_L_TRACE, "icap_hold_entities: next entity offset == %u; ennode->type=%s\n", offset,
                  e.name.c_str());
        if (!icap_entity_sent_back(rq, e))
            continue;
        check_result chk = CHECK_GO_ON;
        if (icap_is_header_entity(e)) {
            int ret = 0;
            chk = check_header(rq, i, &result, &ret);
            if (chk == CHECK_RETURN)
                return ret;
        }
        append_encapsulated(rq, e.name, e.offset);
        if (icap_is_header_entity(e)) {
            offset = e.size;
            if (chk == CHECK_END_WALK)
                break;
        } else if (e.name == "null-body") {
            offset = 0;
        } else {
            break;
        }
    }
    return result;
}

int icap_handle(int &fd)
{
    icap_request &rq = g_request;
    if (!strcmp(rq.method, "OPTIONS")) {
        io_alarm_disarm();
        return icap_send_options(fd);
    }
    if (strcmp(rq.method, "REQMOD") != 0 && strcmp(rq.method, "RESPMOD") != 0)
        return 200;
    // Match-section expressions see the time the request began.
    if (rq.request_time == -1)
        rq.request_time = time(nullptr);
    // The temp files go on every way out, an evaluation error included.
    struct release_guard {
        icap_request &rq;
        ~release_guard() { icap_entities_release(rq); }
    } guard{rq};
    return handle_modification(rq, fd);
}
