// The scan of a body with its action carried through, and the values a
// page shows of the scanning daemon, gathered before the page is built.
#include "icap/scan_flow.h"

#include "config/icapd_config.h"
#include "report/mail.h"
#include "report/template.h"
#include "scan/scan_state.h"
#include "scan/tvx_commands.h"
#include "scan/tvx_scan.h"
#include "scan/tvx_verdict.h"

namespace {

// What a page shows of the scanning daemon; ask_daemon as for icap_build_page.
page_values gather_page_values(const icap_request &rq, bool ask_daemon)
{
    page_values values;
    if (ask_daemon && !g_config.tavex_addresses.empty() && (g_tvx.release.empty() || rq.greport.empty()))
        values.daemon_answered = tvx_get_info(g_tvx.daemon_fd) == 200;
    values.release = g_tvx.release;
    return values;
}

}  // namespace

int icap_build_page(icap_request &rq, icap_entity &entity, const char *tmpl, bool ask_daemon)
{
    return make_report_page(rq, entity, tmpl, nullptr, gather_page_values(rq, ask_daemon));
}

int icap_mail_report(icap_request &rq, icap_entity &entity, const char *reason, const char *word,
                     const char *tmpl, const std::string &lock_name, bool ask_daemon)
{
    return tvx_report_file(rq, entity, reason, word, tmpl, lock_name, gather_page_values(rq, ask_daemon));
}

int icap_scan_body(icap_entity &body, icap_request &rq)
{
    return tvx_verdict_run(
        rq, body, tvx_scan_file(body, rq, g_tvx.daemon_fd),
        [&](const char *templ) { return icap_build_page(rq, body, templ, true) == 200; },
        [&](const tvx_action &a) { icap_mail_report(rq, body, a.reason, a.word, a.templ, std::string(), true); });
}
