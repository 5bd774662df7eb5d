// The configuration exchange with the management agent: the request, the
// checked reply up to the length of the configuration text, which the
// loader then reads from the same connection. Every wait is bounded by
// Timeout and the whole exchange by Timeout as well; every length the
// agent states is bounded before anything is read.
#ifndef TVX_CONFIG_AGENT_CHANNEL_H
#define TVX_CONFIG_AGENT_CHANNEL_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/icapd_config.h"

constexpr uint32_t AGENT_CMD_CONFIG = 0x2003;
constexpr uint32_t AGENT_CMD_STAT = 0x2004;

// Longest block the agent may send before the configuration text; it is
// read and discarded in pieces, never held.
constexpr uint32_t AGENT_BLOCK_MAX = 1u << 20;

// Fills c.agent_addresses from source (an address list: the -f value),
// connects, sends the request and reads the reply up to the configuration
// length. Returns the connection, which the caller reads *length bytes
// of configuration text from and closes. At start-up (startup set) every
// failure writes its message to standard error and ends the process with
// status 1; on a reload it throws std::runtime_error with the message, and
// the configuration in force stays.
int agent_open_configuration(icapd_config &c, const std::string &source, bool startup, size_t *length);

// The exchange on a connected fd: the request, then the reply up to the
// configuration length, which it returns. Failures as above.
size_t agent_exchange(int &fd, bool startup);

#endif
