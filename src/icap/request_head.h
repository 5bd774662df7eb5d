// Reads the head of one ICAP request (request line and header fields up to
// the empty line) from the client connection into g_request, including the
// entity list announced by Encapsulated. Reads no encapsulated data.
#ifndef TVX_ICAP_REQUEST_HEAD_H
#define TVX_ICAP_REQUEST_HEAD_H

#include <cstddef>

// Bounds of one request head: a client that sends more header lines or
// more bytes, or announces more entities, is answered with 400.
constexpr int ICAP_HEAD_MAX_FIELDS = 100;
constexpr size_t ICAP_HEAD_MAX_BYTES = 65536;
constexpr size_t ICAP_HEAD_MAX_ENTITIES = 8;

// Arms the alarm with Timeout and reads one request head into g_request.
// Returns 1 when a head was read (also when the connection ended before the
// first line: then the method is empty and fd is -1), 0 when the connection
// failed or an Encapsulated token is unknown, 400 for a malformed request
// line, method, version, Preview value or an oversized head, 500 when an
// entity cannot be allocated.
int icap_read_request_head(int &fd);

#endif
