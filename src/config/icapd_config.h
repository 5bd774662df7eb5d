// icapd_config: the one process-wide configuration object. Holds every key
// of the parameter table under its own name, with its default, and the
// non-key state built at load time. Setters check before they store, so a
// rejected value leaves its field as it was; readers use the fields
// directly, except the Block* switches (see block_* getters).
#ifndef TVX_CONFIG_ICAPD_CONFIG_H
#define TVX_CONFIG_ICAPD_CONFIG_H

#include <memory>
#include <string>
#include <vector>

#include "conf_parser/cf_expr.h"
#include "conf_parser/cf_override.h"
#include "conf_parser/expr.h"

class cf_parser;

// Verdict action codes; "cure" is only a word of the Infected key.
enum action_code : int {
    ACTION_PASS = 1,
    ACTION_REPORT = 2,
    ACTION_TRUNCATE = 3,
    ACTION_MOVE = 4,
    ACTION_CURE = 100,
};

// Bits of the scan option word sent with every scan request.
constexpr unsigned TAVEX_OPT_HEURISTIC = 0x08;
constexpr unsigned TAVEX_OPT_CURE = 0x40;
constexpr unsigned TAVEX_OPT_INITIAL = 0x80400042u;

enum : unsigned { DAEMON_ADDR_INET = 1, DAEMON_ADDR_LOCAL = 2 };

// Override identifiers of the category switches, the only keys a [match]
// section may assign.
enum block_switch_id : int {
    BLOCK_PORNO = 0,
    BLOCK_VIOLENCE = 1,
    BLOCK_WEAPON = 2,
    BLOCK_GAMBLE = 3,
    BLOCK_DRUGS = 4,
    BLOCK_OBSCENITY = 5,
    BLOCK_CHATS = 6,
    BLOCK_TERRORISM = 7,
    BLOCK_EMAIL = 8,
    BLOCK_SOCIAL_NETWORK = 9,
    BLOCK_MALWARE_LINKS = 10,
    BLOCK_ALL = 11,
    BLOCK_SWITCH_COUNT = 12,
};

// One scanning-daemon or agent address.
struct DaemonAddress {
    unsigned type = 0;
    std::string serv;  // port or service name (inet); empty (local)
    std::string host;  // host name or address (inet); socket path (local)
};

struct icapd_config {
    // Keys, in registration order.
    std::string LogFile;  // empty: not set (no log output)
    int SyslogFacility = 8;
    int SyslogPriority = 6;
    int LogLevel = 1;
    unsigned long MaxLogSize = 10485760;
    std::string Hostmaster = "root@localhost";
    int Infected = ACTION_PASS;  // "cure": pass with TAVEX_OPT_CURE set
    int Incurable = ACTION_REPORT;
    int Suspicious = ACTION_REPORT;
    int Adware = ACTION_REPORT;
    int Dialers = ACTION_REPORT;
    int Jokes = ACTION_PASS;
    int Riskware = ACTION_PASS;
    int Hacktools = ACTION_PASS;
    int ArchiveRestriction = ACTION_REPORT;
    int DaemonError = ACTION_REPORT;
    int SkipObject = ACTION_PASS;
    bool Heuristic = true;
    bool LocalScan = true;
    std::string User = "tavex";
    std::string Cache = "/var/tavex/cache/";
    std::string UcfDirectory = "/var/tavex/ucf/";
    bool BlockPorno = true;
    bool BlockViolence = true;
    bool BlockWeapon = true;
    bool BlockGamble = true;
    bool BlockDrugs = true;
    bool BlockObscenity = true;
    bool BlockChats = false;
    bool BlockTerrorism = true;
    bool BlockEmail = false;
    bool BlockSocialNetwork = false;
    bool BlockMalwareLinks = true;
    bool BlockAll = false;
    std::vector<std::string> WhiteUcfFiles;
    bool SendUrlsWithViruses = false;
    std::string Templates = "/usr/local/etc/tavex/templates/icapd";
    std::string PidFile = "/var/tavex/run/tavex_icapd.pid";
    std::vector<std::string> BlackHosts;
    std::vector<std::string> WhiteHosts;
    unsigned long MaxBlocksize = 10485760;
    std::string BindPort = "1344";
    std::string BindAddress = "127.0.0.1";
    std::vector<std::string> TavexAddress;  // as written; parsed into tavex_addresses
    std::string PathToQuarantine = "/var/tavex/infected";
    int QuarantineFilesMode = 0660;
    int Timeout = 60;
    bool SendMail = false;
    std::string MailCommand = "/usr/sbin/sendmail -i -bm -f tavex -- %s";
    int MailCache = 60;
    std::vector<std::string> AclList;
    bool SendStat = false;
    bool KeepAlive = true;
    bool UsePreview = true;
    bool SendMailUcfBlock = false;

    // Non-key state.
    unsigned user_id = 0;
    unsigned group_id = 0;
    unsigned scan_options = TAVEX_OPT_INITIAL;
    unsigned temp_file_mode = 0660;
    unsigned long block_size = 4096;        // working transfer block, <= MaxBlocksize
    unsigned long quarantine_name_max = 256;
    unsigned long quarantine_path_max = 1024;
    std::vector<DaemonAddress> tavex_addresses;
    std::vector<DaemonAddress> agent_addresses;
    bool user_from_file = false;  // the text being loaded assigned User
    std::vector<match_block> mb;  // if-blocks of [match] sections, in file order
    cf_functions functions;       // [def] functions, in definition order

    // Stores every default, then registers every key with p in table
    // order: the Block* switches as overridable booleans (identifiers 0 to
    // 11), every other key as global only.
    void register_params(cf_parser &p);
    // Binds the grammar's add_expr, add_func and get_func to this object.
    void bind_callbacks(cf_parser &p);

    // Empties what a reload rebuilds from the new text and registration
    // does not: the address lists, the match blocks and the functions.
    void reset();

    // Grammar callbacks: a new match block, a new function, a function.
    void add_expr(const expr::expression_ptr &e);
    void add_func(const std::string &name, const expr::expression_ptr &e);
    expr::expression_ptr get_func(const std::string &name) const;

    // Stores an override of identifier id in the last match block.
    template <class T>
    void add_override(int id, const T &value) { cf_add_override<T>(mb, id, value); }

    // Effective value of a category switch for one request: the first
    // match block, in file order, that assigns it and whose expression is
    // true decides; otherwise the global value. Evaluation errors propagate.
    const bool &block_switch(int id, const expr_context &ctx) const;
    const bool &block_porno(const expr_context &ctx) const { return block_switch(BLOCK_PORNO, ctx); }
    const bool &block_violence(const expr_context &ctx) const { return block_switch(BLOCK_VIOLENCE, ctx); }
    const bool &block_weapon(const expr_context &ctx) const { return block_switch(BLOCK_WEAPON, ctx); }
    const bool &block_gamble(const expr_context &ctx) const { return block_switch(BLOCK_GAMBLE, ctx); }
    const bool &block_drugs(const expr_context &ctx) const { return block_switch(BLOCK_DRUGS, ctx); }
    const bool &block_obscenity(const expr_context &ctx) const { return block_switch(BLOCK_OBSCENITY, ctx); }
    const bool &block_chats(const expr_context &ctx) const { return block_switch(BLOCK_CHATS, ctx); }
    const bool &block_terrorism(const expr_context &ctx) const { return block_switch(BLOCK_TERRORISM, ctx); }
    const bool &block_email(const expr_context &ctx) const { return block_switch(BLOCK_EMAIL, ctx); }
    const bool &block_social_network(const expr_context &ctx) const
    {
        return block_switch(BLOCK_SOCIAL_NETWORK, ctx);
    }
    const bool &block_malware_links(const expr_context &ctx) const
    {
        return block_switch(BLOCK_MALWARE_LINKS, ctx);
    }
    const bool &block_all(const expr_context &ctx) const { return block_switch(BLOCK_ALL, ctx); }

    // Stores the default of every key, as a fresh load starts. Pushes the
    // log defaults (mask, facility, priority) to the log module but leaves
    // the log destination alone; does not resolve the default User.
    void store_defaults();

    // Resolves User when the loaded text did not assign it (the default
    // account); throws the User setter's message when it does not exist.
    void resolve_default_user();

    // Setters, one per key, taking the converted value. Failures throw
    // std::runtime_error with the key's message.
    void set_LogFile(const std::string &v);
    void set_SyslogFacility(const std::string &v);
    void set_SyslogPriority(const std::string &v);
    void set_LogLevel(int v);
    void set_MaxLogSize(unsigned long v);
    void set_Hostmaster(const std::string &v);
    void set_Infected(const std::string &v);
    void set_Incurable(const std::string &v);
    void set_Suspicious(const std::string &v);
    void set_Adware(const std::string &v);
    void set_Dialers(const std::string &v);
    void set_Jokes(const std::string &v);
    void set_Riskware(const std::string &v);
    void set_Hacktools(const std::string &v);
    void set_ArchiveRestriction(const std::string &v);
    void set_DaemonError(const std::string &v);
    void set_SkipObject(const std::string &v);
    void set_Heuristic(bool v);
    void set_LocalScan(bool v);
    void set_User(const std::string &v);
    void set_Cache(const std::string &v);
    void set_UcfDirectory(const std::string &v);
    void set_BlockPorno(bool v);
    void set_BlockViolence(bool v);
    void set_BlockWeapon(bool v);
    void set_BlockGamble(bool v);
    void set_BlockDrugs(bool v);
    void set_BlockObscenity(bool v);
    void set_BlockChats(bool v);
    void set_BlockTerrorism(bool v);
    void set_BlockEmail(bool v);
    void set_BlockSocialNetwork(bool v);
    void set_BlockMalwareLinks(bool v);
    void set_BlockAll(bool v);
    void set_WhiteUcfFiles(const std::vector<std::string> &v);
    void set_SendUrlsWithViruses(bool v);
    void set_Templates(const std::string &v);
    void set_PidFile(const std::string &v);
    void set_BlackHosts(const std::vector<std::string> &v);
    void set_WhiteHosts(const std::vector<std::string> &v);
    void set_MaxBlocksize(unsigned long v);
    void set_BindPort(const std::string &v);
    void set_BindAddress(const std::string &v);
    void set_TavexAddress(const std::vector<std::string> &v);
    void set_PathToQuarantine(const std::string &v);
    void set_QuarantineFilesMode(int v);
    void set_Timeout(int v);
    void set_SendMail(bool v);
    void set_MailCommand(const std::string &v);
    void set_MailCache(int v);
    void set_AclList(const std::vector<std::string> &v);
    void set_SendStat(bool v);
    void set_KeepAlive(bool v);
    void set_UsePreview(bool v);
    void set_SendMailUcfBlock(bool v);

private:
    void store_Infected(int code);
    void store_Heuristic(bool v);
    void resolve_user(const std::string &name);
};

// The process-wide configuration object.
extern icapd_config g_config;

#endif
