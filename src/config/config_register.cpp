// Registration of the parameter table with the parse context of one load,
// the grammar callbacks, the per-request category switches and the reset
// before a reload. Never parses text itself; the registry does.
#include <functional>
#include <stdexcept>
#include <string>

#include "conf_parser/cf_parser.h"
#include "config/icapd_config.h"

namespace {

// Registers a global-only key whose setter is member function set of c.
template <class T, class Setter>
void reg(cf_parser &p, icapd_config &c, const char *name, Setter set)
{
    icapd_config *cp = &c;
    p.register_param<T>(name, [cp, set](const T &v) { (cp->*set)(v); });
}

// Registers a category switch: global setter plus override under id.
void reg_switch(cf_parser &p, icapd_config &c, const char *name, void (icapd_config::*set)(bool),
                int id)
{
    icapd_config *cp = &c;
    p.register_param<bool>(
        name, [cp, set](const bool &v) { (cp->*set)(v); }, id,
        [cp, id](const bool &v) { cp->add_override<bool>(id, v); });
}

typedef cf_parser::string_list list_t;

}  // namespace

void icapd_config::register_params(cf_parser &p)
{
    store_defaults();

    reg<std::string>(p, *this, "LogFile", &icapd_config::set_LogFile);
    reg<std::string>(p, *this, "SyslogFacility", &icapd_config::set_SyslogFacility);
    reg<std::string>(p, *this, "SyslogPriority", &icapd_config::set_SyslogPriority);
    reg<digital_t>(p, *this, "LogLevel", &icapd_config::set_LogLevel);
    reg<unsigned long>(p, *this, "MaxLogSize", &icapd_config::set_MaxLogSize);
    reg<std::string>(p, *this, "Hostmaster", &icapd_config::set_Hostmaster);
    reg<std::string>(p, *this, "Infected", &icapd_config::set_Infected);
    reg<std::string>(p, *this, "Incurable", &icapd_config::set_Incurable);
    reg<std::string>(p, *this, "Suspicious", &icapd_config::set_Suspicious);
    reg<std::string>(p, *this, "Adware", &icapd_config::set_Adware);
    reg<std::string>(p, *this, "Dialers", &icapd_config::set_Dialers);
    reg<std::string>(p, *this, "Jokes", &icapd_config::set_Jokes);
    reg<std::string>(p, *this, "Riskware", &icapd_config::set_Riskware);
    reg<std::string>(p, *this, "Hacktools", &icapd_config::set_Hacktools);
    reg<std::string>(p, *this, "ArchiveRestriction", &icapd_config::set_ArchiveRestriction);
    reg<std::string>(p, *this, "DaemonError", &icapd_config::set_DaemonError);
    reg<std::string>(p, *this, "SkipObject", &icapd_config::set_SkipObject);
    reg<bool>(p, *this, "Heuristic", &icapd_config::set_Heuristic);
    reg<bool>(p, *this, "LocalScan", &icapd_config::set_LocalScan);
    reg<std::string>(p, *this, "User", &icapd_config::set_User);
    reg<std::string>(p, *this, "Cache", &icapd_config::set_Cache);
    reg<std::string>(p, *this, "UcfDirectory", &icapd_config::set_UcfDirectory);
    reg_switch(p, *this, "BlockPorno", &icapd_config::set_BlockPorno, BLOCK_PORNO);
    reg_switch(p, *this, "BlockViolence", &icapd_config::set_BlockViolence, BLOCK_VIOLENCE);
    reg_switch(p, *this, "BlockWeapon", &icapd_config::set_BlockWeapon, BLOCK_WEAPON);
    reg_switch(p, *this, "BlockGamble", &icapd_config::set_BlockGamble, BLOCK_GAMBLE);
    reg_switch(p, *this, "BlockDrugs", &icapd_config::set_BlockDrugs, BLOCK_DRUGS);
    reg_switch(p, *this, "BlockObscenity", &icapd_config::set_BlockObscenity, BLOCK_OBSCENITY);
    reg_switch(p, *this, "BlockChats", &icapd_config::set_BlockChats, BLOCK_CHATS);
    reg_switch(p, *this, "BlockTerrorism", &icapd_config::set_BlockTerrorism, BLOCK_TERRORISM);
    reg_switch(p, *this, "BlockEmail", &icapd_config::set_BlockEmail, BLOCK_EMAIL);
    reg_switch(p, *this, "BlockSocialNetwork", &icapd_config::set_BlockSocialNetwork, BLOCK_SOCIAL_NETWORK);
    reg_switch(p, *this, "BlockMalwareLinks", &icapd_config::set_BlockMalwareLinks, BLOCK_MALWARE_LINKS);
    reg_switch(p, *this, "BlockAll", &icapd_config::set_BlockAll, BLOCK_ALL);
    reg<list_t>(p, *this, "WhiteUcfFiles", &icapd_config::set_WhiteUcfFiles);
    reg<bool>(p, *this, "SendUrlsWithViruses", &icapd_config::set_SendUrlsWithViruses);
    reg<std::string>(p, *this, "Templates", &icapd_config::set_Templates);
    reg<std::string>(p, *this, "PidFile", &icapd_config::set_PidFile);
    reg<list_t>(p, *this, "BlackHosts", &icapd_config::set_BlackHosts);
    reg<list_t>(p, *this, "WhiteHosts", &icapd_config::set_WhiteHosts);
    reg<unsigned long>(p, *this, "MaxBlocksize", &icapd_config::set_MaxBlocksize);
    reg<std::string>(p, *this, "BindPort", &icapd_config::set_BindPort);
    reg<std::string>(p, *this, "BindAddress", &icapd_config::set_BindAddress);
    reg<list_t>(p, *this, "TavexAddress", &icapd_config::set_TavexAddress);
    reg<std::string>(p, *this, "PathToQuarantine", &icapd_config::set_PathToQuarantine);
    reg<digital_t>(p, *this, "QuarantineFilesMode", &icapd_config::set_QuarantineFilesMode);
    reg<digital_t>(p, *this, "Timeout", &icapd_config::set_Timeout);
    reg<bool>(p, *this, "SendMail", &icapd_config::set_SendMail);
    reg<std::string>(p, *this, "MailCommand", &icapd_config::set_MailCommand);
    reg<digital_t>(p, *this, "MailCache", &icapd_config::set_MailCache);
    reg<list_t>(p, *this, "AclList", &icapd_config::set_AclList);
    reg<bool>(p, *this, "SendStat", &icapd_config::set_SendStat);
    reg<bool>(p, *this, "KeepAlive", &icapd_config::set_KeepAlive);
    reg<bool>(p, *this, "UsePreview", &icapd_config::set_UsePreview);
    reg<bool>(p, *this, "SendMailUcfBlock", &icapd_config::set_SendMailUcfBlock);
}

void icapd_config::bind_callbacks(cf_parser &p)
{
    p.add_expr = [this](const expr::expression_ptr &e) { add_expr(e); };
    p.add_func = [this](const std::string &name, const expr::expression_ptr &e) { add_func(name, e); };
    p.get_func = [this](const std::string &name) { return get_func(name); };
}

void icapd_config::reset()
{
    tavex_addresses.clear();
    agent_addresses.clear();
    mb.clear();
    functions.clear();
}

void icapd_config::add_expr(const expr::expression_ptr &e) { cf_add_match_block(mb, e); }

void icapd_config::add_func(const std::string &name, const expr::expression_ptr &e)
{
    functions.add(name, e);
}

expr::expression_ptr icapd_config::get_func(const std::string &name) const
{
    return functions.get(name);
}

const bool &icapd_config::block_switch(int id, const expr_context &ctx) const
{
    static bool icapd_config::*const globals[BLOCK_SWITCH_COUNT] = {
        &icapd_config::BlockPorno,     &icapd_config::BlockViolence,      &icapd_config::BlockWeapon,
        &icapd_config::BlockGamble,    &icapd_config::BlockDrugs,         &icapd_config::BlockObscenity,
        &icapd_config::BlockChats,     &icapd_config::BlockTerrorism,     &icapd_config::BlockEmail,
        &icapd_config::BlockSocialNetwork, &icapd_config::BlockMalwareLinks, &icapd_config::BlockAll,
    };
    if (id < 0 || id >= BLOCK_SWITCH_COUNT)
        throw std::out_of_range("no category switch " + std::to_string(id));
    return cf_effective_value<bool>(mb, id, this->*globals[id], ctx);
}
