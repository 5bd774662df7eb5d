// What the signal handlers of a connection process may read of its request:
// the current temporary file (deleted by the SIGTERM and SIGALRM handlers)
// and the request URL (named by the time-out line). Each is copied into a
// static slot as it changes, so that a handler never reads a string that is
// being changed or freed. Reading is async-signal-safe; writing is for the
// main flow only.
#ifndef TVX_REQUEST_PUBLISHED_H
#define TVX_REQUEST_PUBLISHED_H

#include <string>

#include "request/request.h"

// Records path (empty: none) as the request's current temporary file. For
// g_request the name is also published for the signal handlers.
void icap_request_set_temp_file(icap_request &rq, const std::string &path);

// Records the URL of the request for log lines (url_string). For g_request
// it is also published for the signal handlers.
void icap_request_set_url_string(icap_request &rq, const std::string &url);

// The current temporary file of g_request, or nullptr. Async-signal-safe: a
// handler never sees a name half written, whenever it interrupts the
// publication.
const char *request_published_temp_file();

// The URL of g_request, or nullptr when none is known. Async-signal-safe.
const char *request_published_url();

#endif
