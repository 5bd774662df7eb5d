// Every bound the stand-in agent puts on what a peer announces and on what it
// reads from disk, each defined once here. Callers compare an announced
// length or count with these before they allocate or read a byte of it.
#ifndef AGT_LIMITS_H
#define AGT_LIMITS_H

#include <cstddef>
#include <cstdint>

// One text on the wire: a threat name, the quarantine path, the URL, the
// name the daemon gives itself. 64 KiB, inclusive.
constexpr uint32_t AGT_TEXT_MAX = 64u * 1024;
// Threats in one statistics record, inclusive.
constexpr uint32_t AGT_COUNT_MAX = 100000;
// Text bytes of one statistics record, every name and path added up: 100000
// names of 64 KiB would otherwise make 6.5 GB out of one connection.
constexpr size_t AGT_RECORD_MAX = 16u * 1024 * 1024;
// The configuration file served, read at start and on SIGHUP.
constexpr size_t AGT_CONFIG_MAX = 16u * 1024 * 1024;
// Connections served at once; more wait in the listen queue.
constexpr size_t AGT_MAX_CHILDREN = 64;
// Seconds a client has, from the accept, to send its whole request (and,
// from the first byte of the answer, to take the answer): default and range.
constexpr unsigned AGT_TIMEOUT_DEFAULT_S = 10;
constexpr unsigned AGT_TIMEOUT_MAX_S = 3600;

#endif
