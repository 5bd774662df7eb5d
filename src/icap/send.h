// Transmission of the reply entities: the HTTP headers as received (or
// rewritten), the bodies re-chunked from their temp files, the generated
// "200 OK" HTTP header of a report page, and the replacement of a whole
// message by a report. Bodies go from file to socket without passing
// through a buffer sized by the body; temp files are deleted once sent.
#ifndef TVX_ICAP_SEND_H
#define TVX_ICAP_SEND_H

#include <cstddef>

#include "request/entity.h"
#include "request/request.h"

// Chunks up to this size are copied into the reply text, so a small reply
// leaves in one write; larger ones are sent from the file with sendfile.
constexpr size_t ICAP_INLINE_CHUNK_MAX = 65536;
// The reply text is written whenever it grows beyond this.
constexpr size_t ICAP_REPLY_FLUSH = 262144;

// Sends the entities that go back, in list order: headers whole, bodies as
// chunks of at most MaxBlocksize bytes ("%lx\r\n" size lines, lower-case
// hexadecimal) and the last chunk. Each body's temp file is deleted
// afterwards, whether it went out or not. Returns 200 when everything went
// out, 0 otherwise.
int icap_send_entities(icap_request &rq, int &fd);

// The "200 OK" ICAP head followed by the entities: a small reply in one
// write, a large one corked around its sendfile transfers. Returns 200 when
// all of it went out, else 0 (the temp files are deleted either way). A
// reply that fails once its head has gone out closes the connection: the
// client could not tell anything written after it from the reply.
int icap_send_reply_200(icap_request &rq, int &fd);

// Fills hdr with the HTTP header of a report page whose body is body
// ("HTTP/1.1 200 OK", Via, Cache-Control, Content-Type text/html, the
// Content-Length of body.size, "Connection: close" when KeepAlive is off),
// sets hdr.size and body.offset to its length. Returns 200.
int icap_make_report_header(icap_entity &hdr, icap_entity &body);

// Throws the received message away (temp files deleted) and puts a report
// in its place: a res-hdr and a res-body whose page comes from template
// tmpl, or an empty body when tmpl is nullptr. Sets the reply Encapsulated
// value, the infection type and resolution (not checked, blocked),
// action_name "Report" and response_desc. Returns 200, or 0 on failure.
int icap_replace_all_entity_with_report(icap_request &rq, const char *tmpl);

#endif
