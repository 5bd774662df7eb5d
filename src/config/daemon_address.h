// Address lists of the scanning daemon and the agent: parses address values
// (inet:PORT@HOST, local:PATH, pid:PIDFILE, comma-separated) into
// DaemonAddress records. Never throws; failures are logged and reported.
#ifndef TVX_CONFIG_DAEMON_ADDRESS_H
#define TVX_CONFIG_DAEMON_ADDRESS_H

#include <string>
#include <vector>

#include "config/icapd_config.h"

// Longest address word and longest inet port accepted.
constexpr size_t DAEMON_ADDR_WORD_MAX = 8191;
constexpr size_t DAEMON_ADDR_PORT_MAX = 63;

// Appends the entries named by an address value to list. Returns false at
// the first bad word; entries of the words before it stay appended.
bool daemon_address_parse(const std::string &value, std::vector<DaemonAddress> &list);

// Appends the addresses listed in a scanning daemon's pid file (first line
// skipped, then one "host:port" or socket path per line).
bool daemon_address_read_pid_file(const std::string &path, std::vector<DaemonAddress> &list);

// Appends one record and logs it at the request-flow debug level.
void daemon_address_add(unsigned type, const std::string &serv, const std::string &host,
                        std::vector<DaemonAddress> &list);

// "inet", "local" or "???".
const char *daemon_address_type_name(unsigned type);

#endif
