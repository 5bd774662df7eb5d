// The rows of the parameter table and the machinery that turns a row into
// its default, its registration and its printed value. The rows are the one
// place where keys, types, defaults, scopes and checks are named together.
#include "config/param_table.h"

#include <sstream>
#include <stdexcept>
#include <strings.h>

#include "conf_parser/cf_parser.h"
#include "config/config_setters.h"
#include "config/config_words.h"

namespace {

typedef std::vector<std::string> list_t;

template <class T>
constexpr param_type type_of();
template <>
constexpr param_type type_of<std::string>() { return param_type::string; }
template <>
constexpr param_type type_of<bool>() { return param_type::boolean; }
template <>
constexpr param_type type_of<int>() { return param_type::digital; }
template <>
constexpr param_type type_of<unsigned long>() { return param_type::size; }
template <>
constexpr param_type type_of<list_t>() { return param_type::list; }

// Where a key's value lives: a member, or one category switch.
template <class F, F icapd_config::*M>
struct member {
    typedef F type;
    static F &get(icapd_config &c) { return c.*M; }
    static const F &get(const icapd_config &c) { return c.*M; }
};

template <int Id>
struct switch_of {
    typedef bool type;
    static bool &get(icapd_config &c) { return c.block[Id]; }
    static const bool &get(const icapd_config &c) { return c.block[Id]; }
};

// The store of a key without a check of its own; list values append.
template <class Field, class T>
void plain_store(icapd_config &c, const T &v)
{
    Field::get(c) = v;
}

template <class Field>
void append_store(icapd_config &c, const list_t &v)
{
    list_t &list = Field::get(c);
    list.insert(list.end(), v.begin(), v.end());
}

// Printed values.
std::string text_of(const std::string &v) { return v; }
std::string text_of(bool v) { return v ? "yes" : "no"; }
std::string text_of(int v) { return std::to_string(v); }
std::string text_of(unsigned long v) { return std::to_string(v) + "b"; }
std::string text_of(const list_t &v)
{
    std::string s;
    for (size_t i = 0; i < v.size(); ++i)
        s += (i ? ", " : "") + v[i];
    return s;
}

template <class Field>
std::string show_field(const icapd_config &c)
{
    return text_of(Field::get(c));
}

std::string word_or_code(const char *word, int code) { return word ? word : std::to_string(code); }

template <int icapd_config::*M>
std::string show_action(const icapd_config &c)
{
    return word_or_code(config_action_word(c.*M), c.*M);
}

std::string show_Infected(const icapd_config &c)
{
    if (c.scan_options & TAVEX_OPT_CURE)
        return "cure";
    return word_or_code(config_action_word(c.Infected), c.Infected);
}

std::string show_SyslogFacility(const icapd_config &c)
{
    return word_or_code(config_syslog_facility_word(c.SyslogFacility), c.SyslogFacility);
}

std::string show_SyslogPriority(const icapd_config &c)
{
    return word_or_code(config_syslog_priority_word(c.SyslogPriority), c.SyslogPriority);
}

// The operations of a row. Set checks and stores an assigned value; Store
// stores the default (the same as Set, except for the keys whose set has
// effects beyond the object: opening the log, looking up the account).
template <class T, void (*Store)(icapd_config &, const T &)>
void store_default(icapd_config &c, const param_def &row)
{
    Store(c, cf_convert<T>(row.def));
}

template <class T, void (*Set)(icapd_config &, const T &)>
void register_row(cf_parser &p, icapd_config &c, const param_def &row)
{
    icapd_config *cp = &c;
    std::function<void(const T &)> set = [cp](const T &v) { Set(*cp, v); };
    if (row.rid == id::global_only) {
        p.register_param<T>(row.name, set);
        return;
    }
    int rid = row.rid;
    p.register_param<T>(row.name, set, rid, [cp, rid](const T &v) { cp->add_override<T>(rid, v); });
}

// A global-only key whose value type T is also its field's type.
template <class Field, void (*Set)(icapd_config &, const typename Field::type &) =
                           plain_store<Field, typename Field::type>,
          void (*Store)(icapd_config &, const typename Field::type &) = Set>
constexpr param_def key(const char *name, const char *def)
{
    typedef typename Field::type T;
    return param_def{name, type_of<T>(), id::global_only, def, &store_default<T, Store>, &register_row<T, Set>,
                     &show_field<Field>};
}

// A list key: every assignment appends.
template <class Field, void (*Set)(icapd_config &, const list_t &) = append_store<Field>>
constexpr param_def list_key(const char *name)
{
    return param_def{name, param_type::list, id::global_only, "", &store_default<list_t, Set>,
                     &register_row<list_t, Set>, &show_field<Field>};
}

// A word-coded key: a string mapped to an integer code by its setter.
template <void (*Set)(icapd_config &, const std::string &), std::string (*Show)(const icapd_config &)>
constexpr param_def word_key(const char *name, const char *def)
{
    return param_def{name, param_type::string, id::global_only, def, &store_default<std::string, Set>,
                     &register_row<std::string, Set>, Show};
}

// A category switch: global value plus override identifier Id.
template <int Id>
constexpr param_def switch_key(const char *name, const char *def)
{
    typedef switch_of<Id> F;
    return param_def{name, param_type::boolean, Id, def, &store_default<bool, plain_store<F, bool>>,
                     &register_row<bool, plain_store<F, bool>>, &show_field<F>};
}

template <class F, F icapd_config::*M>
using m = member<F, M>;
typedef std::string S;

void store_LogFile(icapd_config &c, const std::string &v) { c.LogFile = v; }
void store_User(icapd_config &c, const std::string &v) { c.User = v; }

const param_def table[] = {
    key<m<S, &icapd_config::LogFile>, set_LogFile, store_LogFile>("LogFile", ""),
    word_key<set_SyslogFacility, show_SyslogFacility>("SyslogFacility", "User"),
    word_key<set_SyslogPriority, show_SyslogPriority>("SyslogPriority", "Info"),
    key<m<int, &icapd_config::LogLevel>, set_LogLevel>("LogLevel", "1"),
    key<m<unsigned long, &icapd_config::MaxLogSize>>("MaxLogSize", "10m"),
    key<m<S, &icapd_config::Hostmaster>>("Hostmaster", "root@localhost"),
    word_key<set_Infected, show_Infected>("Infected", "cure"),
    word_key<set_Incurable, show_action<&icapd_config::Incurable>>("Incurable", "report"),
    word_key<set_Suspicious, show_action<&icapd_config::Suspicious>>("Suspicious", "report"),
    word_key<set_Adware, show_action<&icapd_config::Adware>>("Adware", "report"),
    word_key<set_Dialers, show_action<&icapd_config::Dialers>>("Dialers", "report"),
    word_key<set_Jokes, show_action<&icapd_config::Jokes>>("Jokes", "pass"),
    word_key<set_Riskware, show_action<&icapd_config::Riskware>>("Riskware", "pass"),
    word_key<set_Hacktools, show_action<&icapd_config::Hacktools>>("Hacktools", "pass"),
    word_key<set_ArchiveRestriction, show_action<&icapd_config::ArchiveRestriction>>("ArchiveRestriction",
                                                                                      "report"),
    word_key<set_DaemonError, show_action<&icapd_config::DaemonError>>("DaemonError", "report"),
    word_key<set_SkipObject, show_action<&icapd_config::SkipObject>>("SkipObject", "pass"),
    key<m<bool, &icapd_config::Heuristic>, set_Heuristic>("Heuristic", "yes"),
    key<m<bool, &icapd_config::LocalScan>>("LocalScan", "yes"),
    key<m<S, &icapd_config::User>, set_User, store_User>("User", "tavex"),
    key<m<S, &icapd_config::Cache>, set_Cache>("Cache", "/var/tavex/cache/"),
    key<m<S, &icapd_config::UcfDirectory>, set_UcfDirectory>("UcfDirectory", "/var/tavex/ucf/"),
    switch_key<BLOCK_PORNO>("BlockPorno", "yes"),
    switch_key<BLOCK_VIOLENCE>("BlockViolence", "yes"),
    switch_key<BLOCK_WEAPON>("BlockWeapon", "yes"),
    switch_key<BLOCK_GAMBLE>("BlockGamble", "yes"),
    switch_key<BLOCK_DRUGS>("BlockDrugs", "yes"),
    switch_key<BLOCK_OBSCENITY>("BlockObscenity", "yes"),
    switch_key<BLOCK_CHATS>("BlockChats", "no"),
    switch_key<BLOCK_TERRORISM>("BlockTerrorism", "yes"),
    switch_key<BLOCK_EMAIL>("BlockEmail", "no"),
    switch_key<BLOCK_SOCIAL_NETWORK>("BlockSocialNetwork", "no"),
    switch_key<BLOCK_MALWARE_LINKS>("BlockMalwareLinks", "yes"),
    switch_key<BLOCK_ALL>("BlockAll", "no"),
    list_key<m<list_t, &icapd_config::WhiteUcfFiles>>("WhiteUcfFiles"),
    key<m<bool, &icapd_config::SendUrlsWithViruses>>("SendUrlsWithViruses", "no"),
    key<m<S, &icapd_config::Templates>>("Templates", "/usr/local/etc/tavex/templates/icapd"),
    key<m<S, &icapd_config::PidFile>>("PidFile", "/var/tavex/run/tavex_icapd.pid"),
    list_key<m<list_t, &icapd_config::BlackHosts>>("BlackHosts"),
    list_key<m<list_t, &icapd_config::WhiteHosts>>("WhiteHosts"),
    key<m<unsigned long, &icapd_config::MaxBlocksize>, set_MaxBlocksize>("MaxBlocksize", "10m"),
    key<m<S, &icapd_config::BindPort>>("BindPort", "1344"),
    key<m<S, &icapd_config::BindAddress>>("BindAddress", "127.0.0.1"),
    list_key<m<list_t, &icapd_config::TavexAddress>, set_TavexAddress>("TavexAddress"),
    key<m<S, &icapd_config::PathToQuarantine>>("PathToQuarantine", "/var/tavex/infected"),
    key<m<int, &icapd_config::QuarantineFilesMode>>("QuarantineFilesMode", "432"),
    key<m<int, &icapd_config::Timeout>>("Timeout", "60"),
    key<m<bool, &icapd_config::SendMail>>("SendMail", "no"),
    key<m<S, &icapd_config::MailCommand>>("MailCommand", "/usr/sbin/sendmail -i -bm -f tavex -- %s"),
    key<m<int, &icapd_config::MailCache>>("MailCache", "60"),
    list_key<m<list_t, &icapd_config::AclList>>("AclList"),
    key<m<bool, &icapd_config::SendStat>>("SendStat", "no"),
    key<m<bool, &icapd_config::KeepAlive>>("KeepAlive", "yes"),
    key<m<bool, &icapd_config::UsePreview>>("UsePreview", "yes"),
    key<m<bool, &icapd_config::SendMailUcfBlock>>("SendMailUcfBlock", "no"),
    key<m<int, &icapd_config::MaxChildren>, set_MaxChildren>("MaxChildren", "1024"),
    key<m<int, &icapd_config::IdleTimeout>, set_IdleTimeout>("IdleTimeout", "600"),
};

}  // namespace

const param_def *config_params(size_t *count)
{
    *count = sizeof table / sizeof table[0];
    return table;
}

const param_def *config_param(const std::string &name)
{
    for (const param_def &row : table)
        if (strcasecmp(row.name, name.c_str()) == 0)
            return &row;
    return nullptr;
}

void config_store_defaults(icapd_config &c)
{
    for (const param_def &row : table)
        row.store_default(c, row);
}

void config_register(cf_parser &p, icapd_config &c)
{
    for (const param_def &row : table)
        row.register_with(p, c, row);
}

void config_assign(icapd_config &c, const std::string &name, const std::string &value)
{
    cf_parser p;
    config_register(p, c);
    if (!p.parse(name, value, true))
        throw std::runtime_error("Param not found");
}

void config_dump(const icapd_config &c, std::ostream &out)
{
    for (const param_def &row : table)
        out << row.name << " = " << row.show(c) << "\n";
}
