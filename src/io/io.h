// Timed socket I/O: readiness waits bounded by the Timeout setting, whole
// transfers that restart interrupted calls, the process-wide line buffer of
// the client connection, the request alarm and the 32-bit wire integers.
// Every socket transfer of the daemon goes through here; hard errors close
// the connection and set the caller's handle to -1. Never reads more than
// it was asked to deliver into a caller's buffer.
#ifndef TVX_IO_IO_H
#define TVX_IO_IO_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr size_t IO_LINE_BUFFER_SIZE = 4096;

// The per-wait time-out in seconds (the Timeout setting); below 1 waits
// without limit. Set by whoever loads the configuration.
void io_set_timeout(int seconds);
int io_timeout();

// Waits until fd is readable (reading) or writable; negative seconds wait
// without limit. Returns the ready count, 0 on time-out, -1 on error;
// interrupted waits are restarted for the time that is left.
int io_wait(int fd, int seconds, bool reading);

// The request alarm: a deadline seconds (below 1: none) after the last
// io_alarm_arm, by which the client must have delivered what the process
// waits for. Every wait of io_wait ends at the deadline at the latest, and
// a wait that reaches it calls the deadline handler from the main flow (no
// timer, no signal); when the handler returns, the wait reports a time-out.
// Arming only records the deadline, so a request that never waits costs
// nothing. Calls that block outside io_wait are not covered.
void io_alarm_arm(int seconds);
void io_alarm_disarm();

// The handler called when a wait reaches the request deadline (nullptr:
// none). The connection process logs the time-out and ends there.
void io_set_deadline_handler(void (*handler)());

// Reads or writes exactly len bytes unless the peer ends the data first.
// With use_readline, a read first takes what the line buffer holds.
// Returns the bytes transferred (short only at end of data), or -1 on a
// time-out or error; hard errors close fd and set it to -1.
ssize_t safe_readwrite(int &fd, void *buf, size_t len, bool reading, bool use_readline);

ssize_t io_write_all(int &fd, const void *buf, size_t len);
ssize_t io_read_exact(int &fd, void *buf, size_t len, bool use_readline);

// Unsigned 32-bit integers on the wire, most significant byte first.
// Results as safe_readwrite; value is stored only when all 4 bytes came.
ssize_t io_write_u32(int &fd, uint32_t value);
ssize_t io_read_u32(uint32_t &value, int &fd);

// Reads one line (through the line buffer) into buf, keeping its newline,
// at most cap - 1 characters, zero-terminated. Returns a positive count
// when a line or the start of one was read, 0 when the peer is gone (fd is
// closed and set to -1), -1 on error (likewise closed). A tag logs the
// text read at level 32.
int readline(int &fd, char *buf, size_t cap, const char *tag);

// Closes a connection on purpose (a request that cannot be answered in
// step with the client) and forgets what the line buffer holds of it; fd
// becomes -1. Nothing when fd is already -1.
void io_drop(int &fd);

// True when the line buffer holds no unread byte.
bool readline_empty();

// Forgets whatever the line buffer holds.
void readline_reset();

// Reads once into the empty line buffer from fd without waiting: the
// bytes read, 0 at end of data, -1 with errno (EAGAIN: nothing there yet).
// For a caller that has seen fd readable and wants the data right away.
ssize_t readline_fill_now(int fd);

#endif
