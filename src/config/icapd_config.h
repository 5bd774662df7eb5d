// icapd_config: one loaded configuration. Holds every key of the parameter
// table under its own name (the Block* switches as one array indexed by
// category) and what a load builds beside the keys: addresses, match
// blocks, functions, MIME rules, host lists and category files. A load fills a fresh object and the
// listener takes it over only when the load succeeded; after that it is
// only read. Defaults and setters live in the parameter table, not here.
#ifndef TVX_CONFIG_ICAPD_CONFIG_H
#define TVX_CONFIG_ICAPD_CONFIG_H

#include <memory>
#include <string>
#include <vector>

#include "conf_parser/cf_expr.h"
#include "conf_parser/cf_override.h"
#include "conf_parser/expr.h"
#include "log/log.h"
#include "policy/host_list.h"
#include "policy/mime_rules.h"
#include "policy/ucf_files.h"
#include "request/quarantine.h"

class cf_parser;

// A configuration text (from a file or the agent) longer than this is
// refused before any buffer is sized by it.
constexpr size_t CONFIG_TEXT_MAX = 64u << 20;

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

// Category switches: index into icapd_config::block and override
// identifier of the key; the only keys a [match] section may assign.
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
static_assert(BLOCK_PORNO + UCF_CATEGORY_COUNT == BLOCK_ALL, "a Block* switch per category, in category order");

// One scanning-daemon or agent address.
struct DaemonAddress {
    unsigned type = 0;
    std::string serv;  // port or service name (inet); empty (local)
    std::string host;  // host name or address (inet); socket path (local)
};

struct icapd_config {
    // Stores the default of every key (the parameter table's defaults).
    icapd_config();

    // Keys, in registration order; values as the setters stored them.
    std::string LogFile;  // empty: not set (no log output)
    int SyslogFacility;
    int SyslogPriority;
    int LogLevel;
    unsigned long MaxLogSize;
    std::string Hostmaster;
    int Infected;  // "cure": pass with TAVEX_OPT_CURE set
    int Incurable;
    int Suspicious;
    int Adware;
    int Dialers;
    int Jokes;
    int Riskware;
    int Hacktools;
    int ArchiveRestriction;
    int DaemonError;
    int SkipObject;
    bool Heuristic;
    bool LocalScan;
    std::string User;
    std::string Cache;
    std::string UcfDirectory;
    bool block[BLOCK_SWITCH_COUNT];  // BlockPorno .. BlockAll, global values
    std::vector<std::string> WhiteUcfFiles;
    bool SendUrlsWithViruses;
    std::string Templates;
    std::string PidFile;
    std::vector<std::string> BlackHosts;
    std::vector<std::string> WhiteHosts;
    unsigned long MaxBlocksize;
    std::string BindPort;
    std::string BindAddress;
    std::vector<std::string> TavexAddress;  // as written; parsed into tavex_addresses
    std::string PathToQuarantine;
    int QuarantineFilesMode;
    int Timeout;
    bool SendMail;
    std::string MailCommand;
    int MailCache;
    std::vector<std::string> AclList;
    bool SendStat;
    bool KeepAlive;
    bool UsePreview;
    bool SendMailUcfBlock;
    // Resource bounds of the daemon process.
    int MaxChildren;   // connection processes at once; 0: no cap
    int IdleTimeout;   // seconds an idle keep-alive connection is kept; 0: no limit

    // Derived from the keys or built by the load.
    unsigned user_id = 0;
    unsigned group_id = 0;
    bool user_resolved = false;         // User was looked up (the text named it)
    unsigned scan_options = TAVEX_OPT_INITIAL;
    unsigned temp_file_mode = 0660;
    unsigned long quarantine_name_max = 256;
    unsigned long quarantine_path_max = 1024;
    std::vector<DaemonAddress> tavex_addresses;
    std::vector<DaemonAddress> agent_addresses;
    std::vector<match_block> mb;  // if-blocks of [match] sections, in file order
    cf_functions functions;       // [def] functions, in definition order
    mime_table mime;              // MIME rules, "*" first
    host_list black_hosts;        // BlackHosts, names and their addresses
    host_list white_hosts;        // WhiteHosts, likewise
    host_list acl_hosts;          // AclList, addresses only
    host_list white_ucf_hosts;    // WhiteUcfFiles, names only
    ucf_categories ucf;           // the category files of UcfDirectory

    // The log this configuration writes to: the descriptor LogFile opened
    // (or LOG_DEST_SYSLOG, LOG_DEST_CLOSED when LogFile is unset), owned
    // by the load until the log module takes it over. log_live: LogFile
    // and the log settings take effect as they are assigned (the first
    // load of the process, which has no log to keep).
    int log_dest = LOG_DEST_CLOSED;
    bool log_live = false;

    // Binds the grammar's callbacks of p to this object: add_expr,
    // add_func, get_func and add_mime_block (whose syntax errors throw
    // mime_syntax_error).
    void bind_callbacks(cf_parser &p);

    // Grammar callbacks: a new match block, a new function, a function.
    void add_expr(const expr::expression_ptr &e);
    void add_func(const std::string &name, const expr::expression_ptr &e);
    expr::expression_ptr get_func(const std::string &name) const;

    // Stores an override of identifier id in the last match block.
    template <class T>
    void add_override(int id, const T &value) { cf_add_override<T>(mb, id, value); }

    // Where this configuration quarantines files.
    quarantine_place quarantine() const { return quarantine_place{PathToQuarantine, quarantine_name_max, quarantine_path_max}; }

    // Effective value of a category switch for one request: the first
    // match block, in file order, that assigns it and whose expression is
    // true decides; otherwise the global value. Evaluation errors propagate.
    const bool &block_switch(int id, const expr_context &ctx) const;
};

// The configuration in force in this process.
extern icapd_config g_config;

#endif
