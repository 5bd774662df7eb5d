// Composes and sends the ICAP reply heads: OPTIONS, the error reply,
// "204 No Content", "100 Continue" and the "200 OK" head that precedes the
// returned entities. Every head ends with the ISTAG trailer. Heads are built
// in growing strings and sent with one write-all call; never sends a body.
#ifndef TVX_ICAP_REPLY_H
#define TVX_ICAP_REPLY_H

#include <string>

#include "request/request.h"

constexpr int ICAPD_VERSION_MAJOR = 6;
constexpr int ICAPD_VERSION_MINOR = 0;

// "\r\nISTAG: \"tavex-icapd6.0=<g_tvx.virus_total>\"\r\n\r\n": ends the last header
// line and the head.
std::string istag_suffix();

// The OPTIONS reply as configured (KeepAlive, UsePreview).
std::string icap_options_text();
// Refreshes g_tvx.virus_total when a scanning daemon is configured, then
// sends the OPTIONS reply. Returns 200, or 0 when sending failed (the
// connection is then closed).
int icap_send_options(int &fd);

// The error reply for a code: 400 "Bad Request", 500 "Server Error" (a
// request the daemon could not serve, such as a body it had no room to
// store), anything else 200 "OK".
std::string icap_error_text(int code);
// Sends the error reply unless the connection is already closed.
void send_error_msg(int &fd, int code);

std::string icap_204_text();
// Sends "204 No Content"; returns 200, or 0 when sending failed (the
// connection is then closed).
int icap_send_204(int &fd);

// Sends "100 Continue" after a preview; returns 200 or 0.
int icap_send_continue(int &fd);

// Composes the "200 OK" head for the request: its reply Encapsulated value,
// Connection, the threat headers and X-Response-Info/-Desc. Returns 200, or
// 0 when the threat headers could not be composed.
int icap_compose_200_head(const icap_request &rq, std::string &head);
// Composes and sends the 200 head; returns 200 when it went out, else 0.
// The entities follow it (icap_send_entities).
int icap_send_200_head(int &fd, const icap_request &rq);

#endif
