// The scan exchange with the scanning daemon: one entity's temp file (or
// its path) out, the verdict, threat names, report lines and a cured body
// back; the verdict is then applied by tvx_apply_verdict.
#ifndef TVX_SCAN_TVX_SCAN_H
#define TVX_SCAN_TVX_SCAN_H

#include <string>

#include "request/request.h"

// Scans the entity over the daemon connection fd (opened when -1).
// Returns 200 (clean or unchanged), 3 (the file holds the body to send),
// 4 (the file holds a report page) or 0 (even the daemon-error handling
// failed).
int tvx_scan_file(icap_entity &entity, icap_request &rq, int &fd);

// Type code of a threat name from its ",X" suffix, which is cut from the
// name when the letter is known; 0 when there is no known suffix.
int tvx_virus_type(std::string &name);

#endif
