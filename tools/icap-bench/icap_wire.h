// The bytes icap-bench sends and the parser that judges every reply: head,
// Encapsulated offsets, encapsulated HTTP headers and the chunked body,
// checked against what an echoing server must return. Knows no sockets.
#ifndef TVX_ICAP_BENCH_WIRE_H
#define TVX_ICAP_BENCH_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bench_options.h"

// One request as it goes on the wire, shared read-only by every connection.
struct bench_request {
    bench_mode method = bench_mode::options;  // options, reqmod, respmod or raw
    std::string first;        // sent at once: head, HTTP headers, the whole body or the preview
    std::string rest;         // sent after "100 Continue": the rest of the body
    bool preview_open = false;  // a preview went out without ieof: "100 Continue" may come
    bool may_204 = false;     // the server may answer 204
    std::string body;         // the body a 200 must return unchanged
    std::string first_line;   // first line of the HTTP header a 200 must return
    bool page = false;        // a 200 replaces the message by a page: neither is checked
};

// Builds the request of the mode in opts (mode, or idle_request in idle mode).
bench_request bench_build_request(const bench_options &opts, bench_mode method);

// Deterministic bytes that differ from position to position, so that a
// shifted, repeated or truncated echo cannot pass.
std::string bench_body_bytes(size_t n);

enum class reply_step {
    more,     // every byte offered was used (or kept) and the reply is not complete
    interim,  // "100 Continue" read
    final,    // a whole final reply read and found correct
    error,    // the reply is malformed or not what an echo must return
};

// Incremental reply parser: feed it whatever arrived, it says how many bytes
// it used. Chunk data is compared as it streams, never collected.
class reply_parser {
public:
    void reset(const bench_request *req);
    reply_step feed(const char *data, size_t len, size_t &used);

    int status() const { return status_; }
    bool connection_close() const { return close_; }
    uint64_t body_bytes() const { return body_got_; }
    const std::string &error() const { return error_; }

private:
    enum class state { head, headers, chunk_size, chunk_data, chunk_end, trailer, raw, done };
    struct entity {
        std::string name;
        uint64_t offset;
    };

    reply_step fail(const std::string &why);
    reply_step parse_head(const char *data, size_t len, size_t &used);
    reply_step check_headers(const char *data);
    reply_step finish();

    const bench_request *req_ = nullptr;
    state state_ = state::head;
    int status_ = 0;
    bool close_ = false;
    bool got_100_ = false;
    std::vector<entity> entities_;
    uint64_t headers_len_ = 0;   // bytes of encapsulated headers before the body
    bool body_expected_ = false; // the last entity is a body
    bool body_checked_ = false;  // compare the body with req_->body
    uint64_t chunk_left_ = 0;
    uint64_t body_got_ = 0;
    std::string error_;
};

#endif
