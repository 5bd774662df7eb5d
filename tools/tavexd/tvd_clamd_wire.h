// The clamd side of tavexd's clamd engine: connecting to clamd, its
// NUL-terminated commands and replies, a descriptor passed over a Unix
// socket and an object streamed in chunks. Knows nothing of verdicts.
#ifndef TVD_CLAMD_WIRE_H
#define TVD_CLAMD_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "tvd_listen.h"

enum tvd_clamd_result {
    TVD_CLAMD_OK = 0,
    TVD_CLAMD_REFUSED,    // nobody accepts at the address
    TVD_CLAMD_CLOSED,     // clamd closed the connection before its reply ended
    TVD_CLAMD_TIMEOUT,    // one wait on clamd lasted longer than the time-out
    TVD_CLAMD_TOO_LONG,   // the reply passed its bound without ending
    TVD_CLAMD_SEND_CUT,   // clamd stopped reading while the object was sent
    TVD_CLAMD_IO_ERROR,   // a socket or file error (errno kept in the text)
};

// Longest reply line read from clamd, its NUL included.
enum : size_t { TVD_CLAMD_MAX_REPLY = 4096 };

// What a result means, for report lines and the log.
const char *tvd_clamd_result_text(int result);

// A non-blocking, close-on-exec connection to addr within timeout_ms (< 0:
// no limit); -1 with result set (and error saying why) when none was made.
int tvd_clamd_connect(const tvd_listener &addr, int timeout_ms, int &result, std::string &error);

// Sends a command ("zPING" and the like) with its terminating NUL.
int tvd_clamd_command(int sock, const char *command, int timeout_ms);

// Passes fd over the Unix socket as the one-byte message clamd's FILDES waits for.
int tvd_clamd_send_fd(int sock, int fd, int timeout_ms);

// Streams size bytes of fd from its start as INSTREAM chunks, then the
// zero-length end. TVD_CLAMD_SEND_CUT when clamd closed its reading side:
// its reply (a size limit) may still be there to read.
int tvd_clamd_stream(int sock, int fd, uint64_t size, int timeout_ms);

// Reads one reply up to its NUL (or the end of stream after some text), at
// most TVD_CLAMD_MAX_REPLY bytes; trailing NUL and newline are cut.
int tvd_clamd_read_reply(int sock, std::string &reply, int timeout_ms);

#endif
