// Texts of ICAP exchanges as tests compare them: reply heads, re-chunked
// bodies, report headers, and requests with Encapsulated computed from
// their parts. Shared by the socket-pair tests and the daemon tests.
#ifndef TVX_TESTS_ICAP_FLOW_MESSAGES_H
#define TVX_TESTS_ICAP_FLOW_MESSAGES_H

#include <cstdio>
#include <string>

namespace flow_test {

const std::string istag = "\r\nISTAG: \"tavex-icapd6.0=0\"\r\n\r\n";
const std::string reply_204 = "ICAP/1.0 204 No Content" + istag;
const std::string reply_400 = "ICAP/1.0 400 Bad Request\r\nEncapsulated: null-body=0" + istag;
const std::string continue_100 = "ICAP/1.0 100 Continue" + istag;

// The block page template of the tests and its output for a URL.
const std::string block_template = "<p>blocked: $URL$</p>\n";
inline std::string block_page(const std::string &url) { return "<p>blocked: " + url + "</p>\n"; }

// "HTTP/1.1 200 OK" header of a report page of the given size.
inline std::string report_header(size_t size, bool keepalive = true)
{
    return "HTTP/1.1 200 OK\r\nVia: Tavex (R) icapd\r\nCache-Control: no-cache\r\nContent-Type: text/html\r\n"
           "Content-Length: " +
           std::to_string(size) + "\r\n" + (keepalive ? "" : "Connection: close\r\n") + "\r\n";
}

// A body re-chunked as the daemon sends it (one chunk up to 10 MiB).
inline std::string rechunked(const std::string &body)
{
    if (body.empty())
        return "0\r\n\r\n";
    char line[32];
    snprintf(line, sizeof line, "%zx\r\n", body.size());
    return line + body + "\r\n0\r\n\r\n";
}

// An ICAP request with Encapsulated computed from its parts. body is the
// chunked body text; nullptr gives a null-body.
inline std::string icap_msg(const std::string &method, const std::string &fields, const std::string &req_hdr,
                            const std::string &res_hdr, const std::string *body)
{
    std::string enc;
    size_t off = 0;
    auto add = [&](const char *name, size_t at) {
        if (!enc.empty())
            enc += ", ";
        enc += std::string(name) + "=" + std::to_string(at);
    };
    if (!req_hdr.empty()) {
        add("req-hdr", off);
        off += req_hdr.size();
    }
    if (!res_hdr.empty()) {
        add("res-hdr", off);
        off += res_hdr.size();
    }
    add(body ? (method == "REQMOD" ? "req-body" : "res-body") : "null-body", off);
    return method + " icap://127.0.0.1:1344/av ICAP/1.0\r\nHost: 127.0.0.1:1344\r\n" + fields +
           "Encapsulated: " + enc + "\r\n\r\n" + req_hdr + res_hdr + (body ? *body : std::string());
}

}  // namespace flow_test

#endif
