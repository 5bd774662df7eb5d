// Socket transfers of the stand-in scanning daemon: whole reads and writes on
// a non-blocking socket with a per-wait time-out, and the 32-bit big-endian
// integers of the scan protocol. Never allocates; callers own bounded buffers.
#ifndef TVD_WIRE_H
#define TVD_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>

enum tvd_io_result {
    TVD_IO_OK = 0,      // every requested byte moved
    TVD_IO_EOF = 1,     // the peer closed the stream before the count was reached
    TVD_IO_ERROR = 2,   // a socket error
    TVD_IO_TIMEOUT = 3, // one wait lasted longer than the time-out
};

// Switches a descriptor to non-blocking mode; false on failure.
bool tvd_set_nonblocking(int fd);

// Reads exactly len bytes; timeout_ms < 0 waits without limit.
int tvd_read_full(int fd, void *buf, size_t len, int timeout_ms);
int tvd_write_full(int fd, const void *buf, size_t len, int timeout_ms);
int tvd_read_u32(int fd, uint32_t *value, int timeout_ms);

// Appends a 32-bit value in network order, or a length-prefixed text.
void tvd_put_u32(std::string &out, uint32_t value);
void tvd_put_text(std::string &out, const std::string &text);

// Reads and throws away len bytes in bounded blocks.
int tvd_drain(int fd, uint64_t len, int timeout_ms);

// Waits until the peer closes the stream (or an error), discarding what it
// sends; used when the daemon is told to stop answering.
void tvd_wait_for_close(int fd);

#endif
