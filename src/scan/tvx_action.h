// The actions a verdict can take on an entity's temp file: pass it on,
// empty it, move it to quarantine, or replace it by a report page; each
// records its action name and writes the action line to the log.
#ifndef TVX_SCAN_TVX_ACTION_H
#define TVX_SCAN_TVX_ACTION_H

#include "request/request.h"

// Template of the page that replaces a quarantined (or not quarantined)
// body after a move.
constexpr const char *TVX_TEMPLATE_MOVED = "/ERR_ACCESS_DENIED_MOVED";

// Applies action (ACTION_PASS, ACTION_REPORT, ACTION_TRUNCATE, ACTION_MOVE)
// to the entity for the given reason; templ names the report page.
// Returns 3 (the file holds the body to send), 4 (the file holds a report
// page) or 0 (failure). Throws std::runtime_error when a move finds no
// room for a quarantine name under the path limit.
int tvx_make_action_on_file(icap_request &rq, icap_entity &entity, int action, const char *reason,
                            const char *templ);

// Reopens the entity file at its start for sending and takes its size.
// Returns 3, or 0 on failure.
int tvx_pass_file(icap_entity &entity);

// Empties the entity file. Returns 3, or 0 on failure.
int tvx_truncate_file(icap_entity &entity);

#endif
