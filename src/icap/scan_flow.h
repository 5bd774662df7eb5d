// The scan of a body in the request flow and the report pages the flow
// builds: the scan exchange, the verdict's action carried through with its
// page and its line, and what a page shows of the scanning daemon,
// gathered before the page is built (the daemon is asked only where the
// flow allows it). Never decides which page a blocked request gets.
#ifndef TVX_ICAP_SCAN_FLOW_H
#define TVX_ICAP_SCAN_FLOW_H

#include <string>

#include "request/request.h"

// Builds the page of template tmpl into entity. ask_daemon: the daemon may
// be asked for its information text first, when a daemon is configured and
// the text is not known yet or the report is empty (the pages of a scan);
// off for block pages and for the page shown after a communication
// failure. Returns 200, or 0 (logged by the page builder).
int icap_build_page(icap_request &rq, icap_entity &entity, const char *tmpl, bool ask_daemon);

// Sends the administrator's notification about rq (reason, action word,
// the page of tmpl embedded, lock_name: see tvx_report_file), with the
// page values gathered as for icap_build_page. Returns 200 or 0 (logged).
int icap_mail_report(icap_request &rq, icap_entity &entity, const char *reason, const char *word,
                     const char *tmpl, const std::string &lock_name, bool ask_daemon);

// Scans one body entity over this process's scanning-daemon connection and
// carries the verdict's action through: its page, then its line. An action
// that fails falls back once to the daemon-error action. Returns
// TVX_RES_CLEAN, TVX_RES_BODY, TVX_RES_PAGE or TVX_RES_FAILED.
int icap_scan_body(icap_entity &body, icap_request &rq);

#endif
