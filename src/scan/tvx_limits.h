// Upper bounds on what the scanning daemon may announce: counts and lengths
// read from it are checked against these before anything is allocated; a
// reply beyond them is a communication failure, never a huge allocation.
#ifndef TVX_SCAN_TVX_LIMITS_H
#define TVX_SCAN_TVX_LIMITS_H

#include <cstdint>

constexpr uint32_t TVX_MAX_BASES = 4096;           // virus bases in one listing
constexpr uint32_t TVX_MAX_BASE_NAME = 4096;       // bytes of one base name
constexpr uint32_t TVX_MAX_INFO = 65536;           // bytes of the information text
constexpr uint32_t TVX_MAX_THREATS = 10000;        // threat names in one scan reply
constexpr uint32_t TVX_MAX_THREAT_NAME = 4096;     // bytes of one threat name
constexpr uint32_t TVX_MAX_REPORT_LINES = 100000;  // report lines in one scan reply
constexpr uint32_t TVX_MAX_REPORT_LINE = 16384;    // bytes of one report line
// Bytes of threat names and report lines of one scan reply together.
constexpr uint64_t TVX_MAX_REPLY_TEXT = 16u << 20;
// A cured body larger than an entity can describe is refused.
constexpr uint64_t TVX_MAX_CURED_BODY = UINT32_MAX;

#endif
