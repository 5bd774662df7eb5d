// The scan of a body with its action carried through, and the values a
// page shows of the scanning daemon, gathered before the page is built.
#include "icap/scan_flow.h"

#include "config/icapd_config.h"
#include "report/template.h"
#include "scan/scan_state.h"
#include "scan/tvx_commands.h"
#include "scan/tvx_scan.h"
#include "scan/tvx_verdict.h"

int icap_build_page(icap_request &rq, icap_entity &entity, const char *tmpl, bool ask_daemon)
{
    page_values values;
    if (ask_daemon && !g_config.tavex_addresses.empty() && (g_tvx.release.empty() || rq.greport.empty()))
        values.daemon_answered = tvx_get_info(g_tvx.daemon_fd) == 200;
    values.release = g_tvx.release;
    return make_report_page(rq, entity, tmpl, nullptr, values);
}

int icap_scan_body(icap_entity &body, icap_request &rq)
{
    return tvx_verdict_run(rq, body, tvx_scan_file(body, rq, g_tvx.daemon_fd),
                           [&](const char *templ) { return icap_build_page(rq, body, templ, true) == 200; });
}
