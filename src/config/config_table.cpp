// The parameter table's behaviour: the default of every key and the setter
// of every key with its check and message. Setters check before they
// store; only TavexAddress keeps what it parsed before a rejected element.
#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <stdexcept>

#include "config/config_words.h"
#include "config/daemon_address.h"
#include "config/icapd_config.h"
#include "log/log.h"

namespace {

void append(std::vector<std::string> &list, const std::vector<std::string> &v)
{
    list.insert(list.end(), v.begin(), v.end());
}

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

}  // namespace

void icapd_config::store_defaults()
{
    const icapd_config d;  // the values every key has at construction

    LogFile = d.LogFile;  // the destination itself stays with the log module
    SyslogFacility = d.SyslogFacility;
    log_set_syslog_facility(SyslogFacility);
    SyslogPriority = d.SyslogPriority;
    log_set_syslog_priority(SyslogPriority);
    LogLevel = d.LogLevel;
    log_set_level_mask(static_cast<unsigned>(LogLevel));
    MaxLogSize = d.MaxLogSize;
    Hostmaster = d.Hostmaster;
    store_Infected(ACTION_CURE);
    Incurable = d.Incurable;
    Suspicious = d.Suspicious;
    Adware = d.Adware;
    Dialers = d.Dialers;
    Jokes = d.Jokes;
    Riskware = d.Riskware;
    Hacktools = d.Hacktools;
    ArchiveRestriction = d.ArchiveRestriction;
    DaemonError = d.DaemonError;
    SkipObject = d.SkipObject;
    store_Heuristic(d.Heuristic);
    LocalScan = d.LocalScan;
    User = d.User;
    user_from_file = false;
    Cache = d.Cache;
    UcfDirectory = d.UcfDirectory;
    BlockPorno = d.BlockPorno;
    BlockViolence = d.BlockViolence;
    BlockWeapon = d.BlockWeapon;
    BlockGamble = d.BlockGamble;
    BlockDrugs = d.BlockDrugs;
    BlockObscenity = d.BlockObscenity;
    BlockChats = d.BlockChats;
    BlockTerrorism = d.BlockTerrorism;
    BlockEmail = d.BlockEmail;
    BlockSocialNetwork = d.BlockSocialNetwork;
    BlockMalwareLinks = d.BlockMalwareLinks;
    BlockAll = d.BlockAll;
    WhiteUcfFiles = d.WhiteUcfFiles;
    SendUrlsWithViruses = d.SendUrlsWithViruses;
    Templates = d.Templates;
    PidFile = d.PidFile;
    BlackHosts = d.BlackHosts;
    WhiteHosts = d.WhiteHosts;
    MaxBlocksize = d.MaxBlocksize;
    BindPort = d.BindPort;
    BindAddress = d.BindAddress;
    TavexAddress = d.TavexAddress;  // the parsed list is emptied by the reset
    PathToQuarantine = d.PathToQuarantine;
    QuarantineFilesMode = d.QuarantineFilesMode;
    Timeout = d.Timeout;
    SendMail = d.SendMail;
    MailCommand = d.MailCommand;
    MailCache = d.MailCache;
    AclList = d.AclList;
    SendStat = d.SendStat;
    KeepAlive = d.KeepAlive;
    UsePreview = d.UsePreview;
    SendMailUcfBlock = d.SendMailUcfBlock;
}

void icapd_config::resolve_user(const std::string &name)
{
    errno = 0;
    struct passwd *pw = getpwnam(name.c_str());
    if (!pw)
        throw std::runtime_error("failed to parse User: " + user_lookup_error(name, errno));
    user_id = pw->pw_uid;
    group_id = pw->pw_gid;
    User = name;
}

void icapd_config::resolve_default_user()
{
    if (!user_from_file)
        resolve_user(User);
}

void icapd_config::store_Infected(int code)
{
    if (code == ACTION_CURE) {
        Infected = ACTION_PASS;
        scan_options |= TAVEX_OPT_CURE;
    } else {
        Infected = code;
        scan_options &= ~TAVEX_OPT_CURE;
    }
}

void icapd_config::store_Heuristic(bool v)
{
    Heuristic = v;
    if (v)
        scan_options |= TAVEX_OPT_HEURISTIC;
    else
        scan_options &= ~TAVEX_OPT_HEURISTIC;
}

void icapd_config::set_LogFile(const std::string &v)
{
    log_set_destination(v);
    LogFile = v;
}

void icapd_config::set_SyslogFacility(const std::string &v)
{
    SyslogFacility = config_syslog_facility(v);
    log_set_syslog_facility(SyslogFacility);
}

void icapd_config::set_SyslogPriority(const std::string &v)
{
    SyslogPriority = config_syslog_priority(v);
    log_set_syslog_priority(SyslogPriority);
}

void icapd_config::set_LogLevel(int v)
{
    LogLevel = v;
    log_set_level_mask(static_cast<unsigned>(v));
}

void icapd_config::set_MaxLogSize(unsigned long v) { MaxLogSize = v; }
void icapd_config::set_Hostmaster(const std::string &v) { Hostmaster = v; }

void icapd_config::set_Infected(const std::string &v)
{
    int code = config_action_code(v);
    if (code == ACTION_PASS)
        throw std::runtime_error("Invalid value for \"Infected\"");
    store_Infected(code);
}

void icapd_config::set_Incurable(const std::string &v)
{
    int code = config_action_code(v);
    if (code < ACTION_REPORT || code > ACTION_MOVE)
        throw std::runtime_error("Invalud value for \"Incurable\"");
    Incurable = code;
}

void icapd_config::set_Suspicious(const std::string &v) { Suspicious = verdict_code(v); }
void icapd_config::set_Adware(const std::string &v) { Adware = verdict_code(v); }
void icapd_config::set_Dialers(const std::string &v) { Dialers = verdict_code(v); }
void icapd_config::set_Jokes(const std::string &v) { Jokes = verdict_code(v); }
void icapd_config::set_Riskware(const std::string &v) { Riskware = verdict_code(v); }
void icapd_config::set_Hacktools(const std::string &v) { Hacktools = verdict_code(v); }
void icapd_config::set_ArchiveRestriction(const std::string &v) { ArchiveRestriction = verdict_code(v); }
void icapd_config::set_DaemonError(const std::string &v) { DaemonError = verdict_code(v); }
void icapd_config::set_SkipObject(const std::string &v) { SkipObject = verdict_code(v); }
void icapd_config::set_Heuristic(bool v) { store_Heuristic(v); }
void icapd_config::set_LocalScan(bool v) { LocalScan = v; }

void icapd_config::set_User(const std::string &v)
{
    resolve_user(v);
    user_from_file = true;
}

void icapd_config::set_Cache(const std::string &v) { Cache = with_slash(v); }
void icapd_config::set_UcfDirectory(const std::string &v) { UcfDirectory = with_slash(v); }
void icapd_config::set_BlockPorno(bool v) { BlockPorno = v; }
void icapd_config::set_BlockViolence(bool v) { BlockViolence = v; }
void icapd_config::set_BlockWeapon(bool v) { BlockWeapon = v; }
void icapd_config::set_BlockGamble(bool v) { BlockGamble = v; }
void icapd_config::set_BlockDrugs(bool v) { BlockDrugs = v; }
void icapd_config::set_BlockObscenity(bool v) { BlockObscenity = v; }
void icapd_config::set_BlockChats(bool v) { BlockChats = v; }
void icapd_config::set_BlockTerrorism(bool v) { BlockTerrorism = v; }
void icapd_config::set_BlockEmail(bool v) { BlockEmail = v; }
void icapd_config::set_BlockSocialNetwork(bool v) { BlockSocialNetwork = v; }
void icapd_config::set_BlockMalwareLinks(bool v) { BlockMalwareLinks = v; }
void icapd_config::set_BlockAll(bool v) { BlockAll = v; }
void icapd_config::set_WhiteUcfFiles(const std::vector<std::string> &v) { append(WhiteUcfFiles, v); }
void icapd_config::set_SendUrlsWithViruses(bool v) { SendUrlsWithViruses = v; }
void icapd_config::set_Templates(const std::string &v) { Templates = v; }
void icapd_config::set_PidFile(const std::string &v) { PidFile = v; }
void icapd_config::set_BlackHosts(const std::vector<std::string> &v) { append(BlackHosts, v); }
void icapd_config::set_WhiteHosts(const std::vector<std::string> &v) { append(WhiteHosts, v); }

void icapd_config::set_MaxBlocksize(unsigned long v)
{
    if (v == 0)
        throw std::runtime_error("Error in MaxBlocksize setting: it must be > 0.");
    MaxBlocksize = v;
}

void icapd_config::set_BindPort(const std::string &v) { BindPort = v; }
void icapd_config::set_BindAddress(const std::string &v) { BindAddress = v; }

void icapd_config::set_TavexAddress(const std::vector<std::string> &v)
{
    for (const std::string &element : v) {
        if (!daemon_address_parse(element, tavex_addresses))
            throw std::runtime_error("Error parsing daemon address");
        TavexAddress.push_back(element);
    }
}

void icapd_config::set_PathToQuarantine(const std::string &v) { PathToQuarantine = v; }
void icapd_config::set_QuarantineFilesMode(int v) { QuarantineFilesMode = v; }
void icapd_config::set_Timeout(int v) { Timeout = v; }
void icapd_config::set_SendMail(bool v) { SendMail = v; }
void icapd_config::set_MailCommand(const std::string &v) { MailCommand = v; }
void icapd_config::set_MailCache(int v) { MailCache = v; }
void icapd_config::set_AclList(const std::vector<std::string> &v) { append(AclList, v); }
void icapd_config::set_SendStat(bool v) { SendStat = v; }
void icapd_config::set_KeepAlive(bool v) { KeepAlive = v; }
void icapd_config::set_UsePreview(bool v) { UsePreview = v; }
void icapd_config::set_SendMailUcfBlock(bool v) { SendMailUcfBlock = v; }
