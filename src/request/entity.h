// Entities and the temporary files of bodies: the kind predicates every
// layer asks about an entity, the creation of a body's temp file (always a
// new file, made by mkstemp in the directory the caller names), its
// release, and the sweep of files left behind by killed processes. Never reopens a body by its name:
// whoever holds an entity reads and writes it through its descriptor.
#ifndef TVX_REQUEST_ENTITY_H
#define TVX_REQUEST_ENTITY_H

#include <string>

#include "request/published.h"
#include "request/request.h"

// Bodies move between a socket and their temp file in blocks of this size.
constexpr size_t ICAP_BODY_BLOCK = 262144;

bool icap_is_header_entity(const icap_entity &e);
bool icap_is_body_entity(const icap_entity &e);

// True when e goes back to the client in the reply: the request header only
// for REQMOD, response headers and bodies always, null-body as a listed
// entity without data, opt-body never.
bool icap_entity_sent_back(const icap_request &rq, const icap_entity &e);

// The name pattern of e's temp file in dir: dir + e.name + process id +
// "-XXXXXX" (mkstemp fills in the X).
std::string entity_temp_name(const std::string &dir, const icap_entity &e);

// Creates a new temp file for e in dir, named by entity_temp_name, permission bits mode & 07777, open for reading and writing and
// close-on-exec. Sets e.fd, e.path and e.size = 0 and records the path as
// the request's current temp file. Any file e held before is deleted
// first. Returns 200, or 0 with errno set (the caller logs).
int entity_temp_create(icap_request &rq, icap_entity &e, const std::string &dir, unsigned mode);

// Closes and deletes the temp file of e and forgets its path (also as the
// request's current temp file).
void icap_forget_temp_file(icap_request &rq, icap_entity &e);

// Lets the temp file of e go without deleting it (it now lives elsewhere,
// as a quarantined file): closes e.fd and forgets the path.
void entity_temp_disown(icap_request &rq, icap_entity &e);

// Closes and deletes every entity's temporary file and empties the list.
void icap_entities_release(icap_request &rq);

// Deletes from dir the temp files (names of the pattern above, regular
// files of this user) whose process no longer exists; a file whose process
// id is in use again is kept. Logs each deletion at level 1 and returns
// their number, or -1 when dir cannot be read (logged).
int entity_temp_sweep(const std::string &dir);

#endif
