// The quarantine name of a request: a quarantine directory plus the
// request URL with every "/" turned into "|", within the file-system
// limits of that directory. Builds names only; never moves a file. The
// directory and limits are passed in by the caller, from its configuration.
#ifndef TVX_REQUEST_QUARANTINE_H
#define TVX_REQUEST_QUARANTINE_H

#include <string>

#include "request/request.h"

// Where quarantined files go and how long their names may be.
struct quarantine_place {
    const std::string &dir;   // PathToQuarantine ("/" appended when missing)
    unsigned long name_max;   // longest file name in dir
    unsigned long path_max;   // longest path in dir
};

// The full quarantine path of the request, built once per request and kept
// in it. Throws std::runtime_error when the directory alone leaves no room
// for a file name within the path limit.
const std::string &quarantine_name(icap_request &rq, const quarantine_place &q);

// The file-name part of the quarantine name (what follows the directory).
std::string quarantine_file_name(icap_request &rq, const quarantine_place &q);

// 0 when the quarantine name denotes a file inside the quarantine
// directory; otherwise the errno value that explains why not: EINVAL for an
// empty, "." or ".." name, ENAMETOOLONG for a name beyond the name limit.
int quarantine_name_check(icap_request &rq, const quarantine_place &q);

#endif
