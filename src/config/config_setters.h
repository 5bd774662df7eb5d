// The checks of the keys that are more than a plain store: each takes the
// converted value, checks it and stores it into one configuration object,
// or throws std::runtime_error with the key's message and leaves the
// object as it was (TavexAddress keeps what it parsed before a rejected
// element). Only the parameter table calls these.
#ifndef TVX_CONFIG_CONFIG_SETTERS_H
#define TVX_CONFIG_CONFIG_SETTERS_H

#include <string>
#include <vector>

#include "config/icapd_config.h"

// LogFile: "syslog" or a path opened for appending. While the object's log
// is live the process log switches at once (the file open until now is
// closed first); otherwise the new destination is kept in c.log_dest until
// the load is committed.
void set_LogFile(icapd_config &c, const std::string &v);
void set_SyslogFacility(icapd_config &c, const std::string &v);
void set_SyslogPriority(icapd_config &c, const std::string &v);
void set_LogLevel(icapd_config &c, const int &v);

// Verdict actions: Infected (cure, report, truncate, move), Incurable
// (report, truncate, move) and the other nine (pass to move).
void set_Infected(icapd_config &c, const std::string &v);
void set_Incurable(icapd_config &c, const std::string &v);
void set_Suspicious(icapd_config &c, const std::string &v);
void set_Adware(icapd_config &c, const std::string &v);
void set_Dialers(icapd_config &c, const std::string &v);
void set_Jokes(icapd_config &c, const std::string &v);
void set_Riskware(icapd_config &c, const std::string &v);
void set_Hacktools(icapd_config &c, const std::string &v);
void set_ArchiveRestriction(icapd_config &c, const std::string &v);
void set_DaemonError(icapd_config &c, const std::string &v);
void set_SkipObject(icapd_config &c, const std::string &v);
void set_Heuristic(icapd_config &c, const bool &v);

// User: the account is looked up at once; its ids are stored.
void set_User(icapd_config &c, const std::string &v);
// Looks User up when the text did not name it (the default account).
void resolve_default_user(icapd_config &c);

// Directory keys that get a "/" appended (Cache, UcfDirectory).
void set_Cache(icapd_config &c, const std::string &v);
void set_UcfDirectory(icapd_config &c, const std::string &v);

void set_MaxBlocksize(icapd_config &c, const unsigned long &v);
void set_TavexAddress(icapd_config &c, const std::vector<std::string> &v);
void set_MaxChildren(icapd_config &c, const int &v);
void set_IdleTimeout(icapd_config &c, const int &v);

#endif
