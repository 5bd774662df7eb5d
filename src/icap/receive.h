// Reception of the encapsulated HTTP message of a REQMOD or RESPMOD: the
// HTTP headers into memory, each chunked body de-chunked into a temp file in
// Cache (created when its first byte is announced), the preview dialogue, and the URL, content type and length derived
// from the headers. Never allocates by a length the client sent beyond the
// stated bounds; a malformed message is answered 400 and the connection closed.
#ifndef TVX_ICAP_RECEIVE_H
#define TVX_ICAP_RECEIVE_H

#include <cstddef>
#include <string>

#include "icap/decision.h"
#include "request/entity.h"
#include "request/request.h"

// Largest encapsulated HTTP header accepted (real proxies stay far below).
constexpr size_t ICAP_HEADER_ENTITY_MAX = 1048576;
// A chunk-size line (with its extensions) may be this long; trailer lines too.
constexpr size_t ICAP_CHUNK_LINE_MAX = 65536;
// Trailer lines after the last chunk that are read and dropped at most.
constexpr int ICAP_TRAILER_LINES_MAX = 100;

// Reads the entities of rq (its list from Encapsulated) from the client
// connection, takes the policy decision at the end of the first body part
// and drives the preview. Returns an ICAP_RES_* code: SCAN (preview still
// open), NO_CHANGE (reply 204), BLOCKED (entities replaced by a report),
// COMPLETE (go on with icap_hold_entities) or ERROR. On ERROR the
// connection is closed whenever the request could not be read to its end
// (a malformed message gets the 400 reply first), so no later reply is
// taken for part of this one. A body entity that received no byte has no
// temp file (fd -1, empty path, size 0). The file offset of e.fd is left
// after the data: readers go by position (pread, sendfile) or by path.
int icap_dump_entities(icap_request &rq, int &fd);

// Header value lookup: name includes its colon ("content-type:") and is
// found, ignoring case, at the start of hdr or of a line. Blanks after it
// are skipped; the value up to CR/LF (at most cap - 1 characters) goes to
// dst. Returns 1 if found, 0 if not (dst then holds "").
int icap_header_value(const char *hdr, const char *name, char *dst, size_t cap);

// Content length of a response header: the complete size from
// Content-Range ("/N"), else Content-Length; -1 when neither is there or
// the text has no digits, 2147483647 when it is negative or too large.
long get_real_content_length(const char *hdr);

// The request URL from an HTTP request header: Host (or Referer), refined
// by the target of a GET or POST request line (an absolute target replaces
// it, and stands alone when both fields are missing); at most cap - 1
// characters.
void icap_assemble_url(const char *hdr, char *url, size_t cap);

// Creates the body temp file of e in Cache (Cache + name + pid +
// "-XXXXXX", mode temp_file_mode), opened for reading and writing; sets
// e.fd, e.path, e.size = 0 and records the path as the request's current
// temp file. Returns 200, or 0 (logged) when it cannot be created.
int creat_tmp_file(icap_request &rq, icap_entity &e);

#endif
