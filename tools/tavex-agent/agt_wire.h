// Socket transfers of the stand-in agent: a buffered reader and whole writes
// on a non-blocking socket, every wait bounded by a deadline, and the 32-bit
// big-endian integers and length-prefixed texts of the agent protocol. Never
// allocates by a length the peer sent before the caller's bound admits it.
#ifndef AGT_WIRE_H
#define AGT_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>

enum agt_io_result {
    AGT_IO_OK = 0,       // every requested byte moved
    AGT_IO_EOF = 1,      // the peer closed the stream before the count was reached
    AGT_IO_ERROR = 2,    // a socket error
    AGT_IO_TIMEOUT = 3,  // the deadline passed
    AGT_IO_TOO_LONG = 4, // a text announced longer than the caller's bound; nothing of it read
};

// "closed by the peer", "timed out", ... for log lines.
const char *agt_io_text(int result);

// Milliseconds on the monotonic clock, and that clock seconds from now.
long long agt_now_ms();
long long agt_deadline_after(unsigned seconds);

// Reads a connection through one fixed block, so that a record of many small
// fields costs one receive per block, not one per field.
class agt_reader {
public:
    agt_reader(int fd, long long deadline_ms) : fd_(fd), deadline_(deadline_ms) {}
    agt_reader(const agt_reader &) = delete;
    agt_reader &operator=(const agt_reader &) = delete;

    // Exactly n bytes into out.
    int bytes(void *out, size_t n);
    int u32(uint32_t &value);
    // A 32-bit length, then that many bytes. A length above max is not read
    // (AGT_IO_TOO_LONG) and is left in announced for the log line.
    int text(std::string &out, uint32_t max, uint32_t &announced);

private:
    int fill();
    int fd_;
    long long deadline_;
    size_t pos_ = 0, len_ = 0;
    char buf_[65536];
};

// Writes all of data before the deadline.
int agt_write_all(int fd, const std::string &data, long long deadline_ms);

// Appends a 32-bit value in network order, or a length-prefixed text.
void agt_put_u32(std::string &out, uint32_t value);

// Keeps the connection open without answering, reading and throwing away
// what the peer sends in one fixed block, until the peer closes or fails.
// It has no deadline: the agent is told to stall so that the client's own
// time-out is what ends the exchange (a signal ends the process).
void agt_hold_until_closed(int fd);

#endif
