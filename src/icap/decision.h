// The URL-policy decision of a request, taken once: BlockAll (a true match
// section that sets it wins over the global value), the host black list,
// the URL categories, then the MIME rule. Owns the calls out to the content
// policy and the decision log lines; never reads or writes the connection.
#ifndef TVX_ICAP_DECISION_H
#define TVX_ICAP_DECISION_H

#include "request/request.h"

// Result codes of reception and of the decision.
enum : int {
    ICAP_RES_SCAN = 1000,      // the whole body is needed for scanning
    ICAP_RES_NO_CHANGE = 2000, // reply "204 No Content"
    ICAP_RES_BLOCKED = 3000,   // blocked: the message is replaced by a report
    ICAP_RES_COMPLETE = 4000,  // message received completely: hold and reply
    ICAP_RES_ERROR = 5000,     // error or client gone
    ICAP_RES_NOT_STORED = 5500,  // read to its end, but a body could not be stored: reply 500
};

// Takes the decision for rq and marks it decided. has_body is false for a
// message without body, which is judged at its header: only BlockAll, the
// black list and the URL categories apply there (a MIME rule judges a body
// and there is none). Returns ICAP_RES_SCAN, ICAP_RES_NO_CHANGE or
// ICAP_RES_BLOCKED; for a block *report receives the page template, or
// nullptr when the body is to be cut off without a page ("reject -trunc").
int icap_policy_decide(icap_request &rq, bool has_body, const char **report);

// True when the request URL is in the host white list (no virus check).
bool icap_url_in_white_hosts(const icap_request &rq);

// True when a scanning-daemon address is configured.
bool icap_scan_configured();

#endif
