// The client side of the scan protocol, as much of it as a measurement
// needs: one connection to a scanning daemon over a Unix socket or loopback
// TCP, whole-file scans one at a time, each reply read with every count and
// length bounded before it is used. Never sends a path, never stores the
// names or lines of a reply, never follows a cured body.
#ifndef TVX_ICAP_BENCH_SCAN_CLIENT_H
#define TVX_ICAP_BENCH_SCAN_CLIENT_H

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string>

// Options of a scan request as the ICAP daemon sends them by default.
const uint32_t SCAN_DEFAULT_OPTIONS = 0x80400042u;

enum scan_result {
    SCAN_OK = 0,
    SCAN_CONNECT_FAILED,  // socket or connect failed (errno in the text)
    SCAN_SEND_FAILED,     // the request did not go out whole
    SCAN_CLOSED,          // the daemon closed the connection before the reply ended
    SCAN_TIMEOUT,         // one wait lasted longer than the time-out
    SCAN_RECV_FAILED,     // a socket error while reading
    SCAN_BEYOND_BOUNDS,   // a count or length in the reply beyond the bounds below
    SCAN_CURED_BODY,      // the reply carries a cured body: the connection is spent
    SCAN_OUT_OF_STEP,     // bytes arrived after the end of the reply
};

// What a reply may announce before it is judged broken.
const uint32_t SCAN_MAX_NAMES = 10000;      // threat names in one reply
const uint32_t SCAN_MAX_NAME = 4096;        // bytes of one threat name
const uint32_t SCAN_MAX_LINES = 100000;     // report lines in one reply
const uint32_t SCAN_MAX_LINE = 16384;       // bytes of one report line
const uint64_t SCAN_MAX_TEXT = 16u << 20;   // bytes of names and lines of one reply together

// Where the daemon listens: a socket path, or a loopback address and port.
struct scan_target {
    bool local = false;
    std::string path;
    sockaddr_in addr{};
};

// The whole request: command 1, options, 0, path length 0, data length, data.
std::string scan_request_whole(uint32_t options, const std::string &body);

// The reason of a failure as a short text; errno is appended for the
// socket-level ones when err is not 0.
std::string scan_result_text(int result, int err);

class scan_conn {
public:
    scan_conn() = default;
    ~scan_conn();
    scan_conn(const scan_conn &) = delete;
    scan_conn &operator=(const scan_conn &) = delete;

    // Connects; every later wait gives up after timeout_ms. Returns a scan_result.
    int open(const scan_target &t, int timeout_ms);
    // Sends one request built by scan_request_whole and reads its reply to
    // the last byte. Returns a scan_result; on anything but SCAN_OK the
    // connection is closed, as its stream is out of step.
    int scan(const std::string &request, uint32_t &code);
    void close();
    bool is_open() const { return fd_ >= 0; }
    int last_errno() const { return err_; }

private:
    int fail(int result);
    int fill();
    int take_u32(uint32_t &v);
    int skip(uint32_t len);
    int skip_texts(uint32_t count, uint32_t max_len, uint64_t &total);

    int fd_ = -1;
    int err_ = 0;
    size_t start_ = 0, end_ = 0;
    char buf_[16384];
};

#endif
