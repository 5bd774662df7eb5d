// The quarantine name of a request: the PathToQuarantine directory plus the
// request URL with every "/" turned into "|", within the file-system limits
// read at configuration time. Builds names only; never moves a file.
#ifndef TVX_SCAN_QUARANTINE_H
#define TVX_SCAN_QUARANTINE_H

#include <string>

#include "request/request.h"

// The full quarantine path of the request, built once per request and kept
// in it. Throws std::runtime_error when the directory alone leaves no room
// for a file name within the path limit.
const std::string &quarantine_name(icap_request &rq);

// The file-name part of the quarantine name (what follows the directory).
std::string quarantine_file_name(icap_request &rq);

// 0 when the quarantine name denotes a file inside the quarantine
// directory; otherwise the errno value that explains why not: EINVAL for an
// empty, "." or ".." name, ENAMETOOLONG for a name beyond the name limit.
int quarantine_name_check(icap_request &rq);

#endif
