// The request flow: runs one parsed ICAP request to its reply (OPTIONS, or
// reception, the policy decision, the scan and the reply of a REQMOD or
// RESPMOD). Decides which reply goes out; composes none of them itself.
#ifndef TVX_ICAP_HANDLE_H
#define TVX_ICAP_HANDLE_H

#include "request/request.h"

// Handles the request parsed into g_request on connection fd. Returns 200
// when the reply went out (or none was due), 0 when the request failed and
// no error reply is possible or needed any more, or another code (400: a
// REQMOD or RESPMOD without Encapsulated; 500: a body that could not be
// stored, read to its end) for which the caller sends the error reply. The request's temp files are deleted before it returns.
int icap_handle(int &fd);

// Second stage after reception: settles what reception left open (the
// header check of a message without body, the white list), scans the body,
// applies the result to the HTTP header and builds the reply Encapsulated
// value with the reply offsets. Returns 200 (reply 200 with the entities),
// 2000 (reply 204), 0 (failure) or another code passed through from the scan.
int icap_hold_entities(icap_request &rq);

// Puts size in place of the Content-Length value of an HTTP header (field
// name kept in its letter case). Returns 1 when the field was there, else 0.
int icap_rewrite_content_length(icap_entity &hdr, unsigned long size);

#endif
