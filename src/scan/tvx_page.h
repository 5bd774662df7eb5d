// The report page that replaces an entity's body after a verdict: the
// scanning client's one way into the page builder.
#ifndef TVX_SCAN_TVX_PAGE_H
#define TVX_SCAN_TVX_PAGE_H

#include "request/request.h"

// Writes the page built from templ into the entity file (size and position
// set for sending). Returns 200, or 0 on failure.
int tvx_page(icap_request &rq, icap_entity &entity, const char *templ);

#endif
