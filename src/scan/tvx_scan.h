// The scan exchange with the scanning daemon: one entity's temp file (or
// its path) out, the verdict, threat names, report lines and a cured body
// back; the verdict is then applied by tvx_apply_verdict. The body is read
// and rewritten only through the entity's descriptor.
#ifndef TVX_SCAN_TVX_SCAN_H
#define TVX_SCAN_TVX_SCAN_H

#include <string>

#include "request/request.h"
#include "scan/tvx_action.h"

// Scans the entity over the daemon connection fd (opened when -1) and
// applies the verdict's action to its file. The result is TVX_RES_CLEAN
// (the body goes on unchanged), or the action with what is left to do: its
// page, then tvx_action_done. A failed exchange yields the daemon-error
// action (marked as the fallback).
tvx_action tvx_scan_file(icap_entity &entity, icap_request &rq, int &fd);

// Type code of a threat name from its ",X" suffix, which is cut from the
// name when the letter is known; 0 when there is no known suffix.
int tvx_virus_type(std::string &name);

#endif
