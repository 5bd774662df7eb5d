// Statistics to the management agent: one record per action taken on a
// scanned entity (threat names with their types, and with
// SendUrlsWithViruses the request URL), over a short-lived connection of
// its own. Its outcome is only logged; it never changes a reply.
#ifndef TVX_SCAN_AGENT_STAT_H
#define TVX_SCAN_AGENT_STAT_H

#include <string>

#include "request/request.h"

// Sends the record of rq (quarantine: the quarantine file after a
// successful move, else empty) to the first reachable agent address of the
// configuration, and waits for its one-word acknowledgement. Every wait is
// bounded by Timeout.
void send_agent_stat(const icap_request &rq, const std::string &quarantine);

#endif
