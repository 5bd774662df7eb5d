// Checks and stores of the keys that need more than an assignment: the log
// keys, the verdict actions with the scan option bits, the account, the
// directory keys, MaxBlocksize, the scanning-daemon addresses and the
// resource bounds. Every check runs before its store.
#include "config/config_setters.h"

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

#include "config/config_words.h"
#include "config/daemon_address.h"
#include "log/log.h"

namespace {

// Directory values end in "/" so that file names can be appended.
std::string with_slash(const std::string &dir)
{
    if (!dir.empty() && dir.back() != '/')
        return dir + "/";
    return dir;
}

// The nine verdict keys other than Infected and Incurable: pass to move.
int verdict_code(const std::string &word)
{
    int code = config_action_code(word);
    if (code < ACTION_PASS || code > ACTION_MOVE)
        throw std::runtime_error("Invalid action");
    return code;
}

// What an administrator reads after "failed to parse User: ". getpwnam
// leaves errno at 0 (or, with some name services, one of the "not found"
// codes) for an account that does not exist: name the account then
// instead of printing "Success".
std::string user_lookup_error(const std::string &name, int err)
{
    if (err == 0 || err == ENOENT || err == ESRCH || err == EBADF || err == EPERM)
        return "no such user \"" + name + "\"";
    return strerror(err);
}

// A bound that 0 switches off: negative values are refused.
int non_negative(const char *key, int v)
{
    if (v < 0)
        throw std::runtime_error(std::string("Error in ") + key + " setting: it must be >= 0.");
    return v;
}

void resolve_user(icapd_config &c, const std::string &name)
{
    errno = 0;
    struct passwd *pw = getpwnam(name.c_str());
    if (!pw)
        throw std::runtime_error("failed to parse User: " + user_lookup_error(name, errno));
    c.user_id = pw->pw_uid;
    c.group_id = pw->pw_gid;
    c.User = name;
    c.user_resolved = true;
}

}  // namespace

void set_LogFile(icapd_config &c, const std::string &v)
{
    if (c.log_live) {
        log_set_destination(v);
        c.LogFile = v;
        return;
    }
    int dest = LOG_DEST_SYSLOG;
    if (!log_value_is_syslog(v)) {
        dest = log_open_file(v);
        if (dest < 0)
            throw std::runtime_error("failed to open logfile [" + v + "]: " + strerror(errno));
    }
    if (c.log_dest >= 0)
        close(c.log_dest);
    c.log_dest = dest;
    c.LogFile = v;
}

void set_SyslogFacility(icapd_config &c, const std::string &v)
{
    c.SyslogFacility = config_syslog_facility(v);
    if (c.log_live)
        log_set_syslog_facility(c.SyslogFacility);
}

void set_SyslogPriority(icapd_config &c, const std::string &v)
{
    c.SyslogPriority = config_syslog_priority(v);
    if (c.log_live)
        log_set_syslog_priority(c.SyslogPriority);
}

void set_LogLevel(icapd_config &c, const int &v)
{
    c.LogLevel = v;
    if (c.log_live)
        log_set_level_mask(static_cast<unsigned>(v));
}

void set_Infected(icapd_config &c, const std::string &v)
{
    int code = config_action_code(v);
    if (code == ACTION_PASS)
        throw std::runtime_error("Invalid value for \"Infected\"");
    if (code == ACTION_CURE) {
        c.Infected = ACTION_PASS;
        c.scan_options |= TAVEX_OPT_CURE;
    } else {
        c.Infected = code;
        c.scan_options &= ~TAVEX_OPT_CURE;
    }
}

void set_Incurable(icapd_config &c, const std::string &v)
{
    int code = config_action_code(v);
    if (code < ACTION_REPORT || code > ACTION_MOVE)
        throw std::runtime_error("Invalud value for \"Incurable\"");
    c.Incurable = code;
}

void set_Suspicious(icapd_config &c, const std::string &v) { c.Suspicious = verdict_code(v); }
void set_Adware(icapd_config &c, const std::string &v) { c.Adware = verdict_code(v); }
void set_Dialers(icapd_config &c, const std::string &v) { c.Dialers = verdict_code(v); }
void set_Jokes(icapd_config &c, const std::string &v) { c.Jokes = verdict_code(v); }
void set_Riskware(icapd_config &c, const std::string &v) { c.Riskware = verdict_code(v); }
void set_Hacktools(icapd_config &c, const std::string &v) { c.Hacktools = verdict_code(v); }
void set_ArchiveRestriction(icapd_config &c, const std::string &v) { c.ArchiveRestriction = verdict_code(v); }
void set_DaemonError(icapd_config &c, const std::string &v) { c.DaemonError = verdict_code(v); }
void set_SkipObject(icapd_config &c, const std::string &v) { c.SkipObject = verdict_code(v); }

void set_Heuristic(icapd_config &c, const bool &v)
{
    c.Heuristic = v;
    if (v)
        c.scan_options |= TAVEX_OPT_HEURISTIC;
    else
        c.scan_options &= ~TAVEX_OPT_HEURISTIC;
}

void set_User(icapd_config &c, const std::string &v) { resolve_user(c, v); }

void resolve_default_user(icapd_config &c)
{
    if (!c.user_resolved)
        resolve_user(c, c.User);
}

void set_Cache(icapd_config &c, const std::string &v) { c.Cache = with_slash(v); }
void set_UcfDirectory(icapd_config &c, const std::string &v) { c.UcfDirectory = with_slash(v); }

void set_MaxBlocksize(icapd_config &c, const unsigned long &v)
{
    if (v == 0)
        throw std::runtime_error("Error in MaxBlocksize setting: it must be > 0.");
    c.MaxBlocksize = v;
}

void set_TavexAddress(icapd_config &c, const std::vector<std::string> &v)
{
    for (const std::string &element : v) {
        if (!daemon_address_parse(element, c.tavex_addresses))
            throw std::runtime_error("Error parsing daemon address");
        c.TavexAddress.push_back(element);
    }
}

void set_MaxChildren(icapd_config &c, const int &v) { c.MaxChildren = non_negative("MaxChildren", v); }
void set_IdleTimeout(icapd_config &c, const int &v) { c.IdleTimeout = non_negative("IdleTimeout", v); }
