// The configuration load sequence: command line, source, a fresh object
// registered with the parameter table, timed read of the text, parse,
// checks, and the commit that hands the object and its log to the process.
// Runs in the listener only; nothing reaches the configuration in force
// before every step that can fail has passed.
#include "config/config_load.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "conf_parser/cf_override.h"
#include "conf_parser/cf_parse.h"
#include "conf_parser/cf_parser.h"
#include "config/agent_channel.h"
#include "config/config_setters.h"
#include "config/param_table.h"
#include "io/io.h"
#include "log/log.h"
#include "policy/host_list.h"
#include "policy/mime_rules.h"
#include "policy/ucf_files.h"

icapd_startup g_startup;

namespace {

constexpr unsigned long quarantine_limit_cap = 10000;
constexpr unsigned long quarantine_name_default = 256;
constexpr unsigned long quarantine_path_default = 1024;

const char usage_text[] =
    "Tavex (R) icap daemon\n"
    "  -f FILE_NAME|AGENT_SOCKET  -  set new filename for config file or agent socket\n"
    "  -v|--version  -  output version information and exit\n"
    "  -h|--help     -  display this help and exit\n"
    "  -m            -  set to work with Tavex Monitor\n"
    "  --check-only  -  perform configuration check and exit\n"
    "  -d            -  extra debug";

// The exit status of a MIME syntax error in the load under way, 0 when none.
int g_mime_exit_status = 0;

// Logs the [def] functions and the match expressions as compiled, one log
// line per line of their printed form. The text is built only when its
// level is written: a large expression prints to a very large outline.
void log_compiled_expressions(const icapd_config &c)
{
    if (!log_enabled(LOG_L_TRACE))
        return;
    std::ostringstream os;
    c.functions.dump(os);
    cf_dump_match_blocks(os, c.mb);
    std::istringstream in(os.str());
    std::string line;
    while (std::getline(in, line))
        icapd_log(LOG_L_TRACE, "%s\n", line.c_str());
}

// The configuration in force, one key per line, for the trace log.
void log_parameters(const icapd_config &c)
{
    if (!log_enabled(LOG_L_HEADERS))
        return;
    std::ostringstream os;
    config_dump(c, os);
    std::istringstream in(os.str());
    std::string line;
    while (std::getline(in, line))
        icapd_log(LOG_L_HEADERS, "config: %s\n", line.c_str());
}

// A pathconf result within the cap, or the fallback when the system gives
// no limit.
unsigned long path_limit(long value, unsigned long fallback)
{
    if (value < 0)
        return fallback;
    return static_cast<unsigned long>(value) > quarantine_limit_cap ? quarantine_limit_cap
                                                                    : static_cast<unsigned long>(value);
}

// Longest file name and path in the quarantine directory.
void compute_quarantine_limits(icapd_config &c)
{
    const char *dir = c.PathToQuarantine.c_str();
    c.quarantine_name_max = path_limit(pathconf(dir, _PC_NAME_MAX), quarantine_name_default);
    c.quarantine_path_max = path_limit(pathconf(dir, _PC_PATH_MAX), quarantine_path_default);
}

// Reads the four host-list keys' files, each list followed by its listing.
void build_host_lists(icapd_config &c)
{
    struct {
        const char *key;
        std::vector<std::string> icapd_config::*files;
        host_list icapd_config::*list;
        int mode;
    } lists[] = {
        {"BlackHosts", &icapd_config::BlackHosts, &icapd_config::black_hosts, HOST_LIST_BOTH},
        {"WhiteHosts", &icapd_config::WhiteHosts, &icapd_config::white_hosts, HOST_LIST_BOTH},
        {"AclList", &icapd_config::AclList, &icapd_config::acl_hosts, HOST_LIST_ADDRESSES},
        {"WhiteUcfFiles", &icapd_config::WhiteUcfFiles, &icapd_config::white_ucf_hosts, HOST_LIST_NAMES},
    };
    for (const auto &l : lists) {
        host_list_build(c.*l.list, c.*l.files, l.mode);
        host_list_print(c.*l.list, l.key);
    }
}

// What follows a successful parse and can still fail: the Cache directory,
// the host lists (a list file that cannot be opened throws
// host_list_error), then the URL-category files, whose ".cache" deliveries
// are renamed into place only once everything else has passed; and the
// quarantine limits.
void config_finish(icapd_config &c)
{
    config_check_cache(c);
    build_host_lists(c);
    if (!ucf_files_load(c.ucf, c.UcfDirectory))
        throw std::runtime_error("Error in reading ucf files.");
    compute_quarantine_limits(c);
}

// Loads from the configuration file at path into c.
void load_file(icapd_config &c, const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::string msg = "Error in opening ini file " + path + " for reading: " + strerror(errno);
        if (fd >= 0)
            close(fd);
        icapd_log(LOG_L_ERROR, "%s\n", msg.c_str());
        fprintf(stderr, "%s\n", msg.c_str());
        throw std::runtime_error(msg);
    }
    try {
        config_load_from_fd(c, fd, static_cast<size_t>(st.st_size));
    } catch (...) {
        if (fd >= 0)
            close(fd);
        throw;
    }
    if (fd >= 0)
        close(fd);
}

// Loads the configuration text the agent serves into c.
void load_agent(icapd_config &c, const std::string &source, bool startup)
{
    size_t len = 0;
    int fd = agent_open_configuration(c, source, startup, &len);
    try {
        config_load_from_fd(c, fd, len);
    } catch (...) {
        io_alarm_disarm();
        if (fd >= 0)
            close(fd);
        throw;
    }
    io_alarm_disarm();
    if (fd >= 0)
        close(fd);
}

// Loads from the source chosen by the command line into c: a value with a
// colon names the management agent, any other a file.
void load_source(icapd_config &c, bool startup)
{
    const std::string &source = g_startup.source;
    if (source.find(':') != std::string::npos)
        load_agent(c, source, startup);
    else
        load_file(c, source);
}

// Keys the listener applied once at start-up: a reload keeps the running
// value and says that the new one needs a restart.
void keep_restart_keys(icapd_config &fresh, const icapd_config &running)
{
    struct {
        const char *key;
        std::string icapd_config::*field;
    } keys[] = {
        {"BindAddress", &icapd_config::BindAddress},
        {"BindPort", &icapd_config::BindPort},
        {"User", &icapd_config::User},
        {"PidFile", &icapd_config::PidFile},
    };
    for (const auto &k : keys) {
        if (fresh.*k.field == running.*k.field)
            continue;
        icapd_log(LOG_L_WARN, "%s = %s needs a restart; keeping %s = %s\n", k.key, (fresh.*k.field).c_str(), k.key,
                  (running.*k.field).c_str());
        fresh.*k.field = running.*k.field;
    }
    fresh.user_id = running.user_id;
    fresh.group_id = running.group_id;
}

// Gives the log module the mask, facility and priority of c.
void apply_log_settings(const icapd_config &c)
{
    log_set_level_mask(static_cast<unsigned>(c.LogLevel));
    log_set_syslog_facility(c.SyslogFacility);
    log_set_syslog_priority(c.SyslogPriority);
}

// Makes c the configuration in force: its log, its I/O time-out, then the
// object itself; then what is logged about a new configuration.
void commit(icapd_config &c)
{
    apply_log_settings(c);
    if (!c.log_live)
        log_install(c.log_dest);
    c.log_dest = LOG_DEST_CLOSED;  // the log module owns it now
    c.log_live = false;
    log_truncate_check(c.MaxLogSize);
    io_set_timeout(c.Timeout);
    g_config = std::move(c);

    log_compiled_expressions(g_config);
    log_parameters(g_config);
    icapd_log(LOG_L_FLOW, "init: tavex-icapd starting\n");
}

}  // namespace

void config_parse_command_line(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (!strcmp(arg, "-f")) {
            if (i + 1 >= argc) {
                fputs("After -f you must set filename or agent address\n", stderr);
                exit(1);
            }
            g_startup.source = argv[++i];
        } else if (!strcmp(arg, "-v") || !strcmp(arg, "--version")) {
            printf("Tavex (R) icap daemon, version %s (%s)\n", ICAPD_VERSION_TEXT, __DATE__);
            exit(0);
        } else if (!strcmp(arg, "-m")) {
            g_startup.monitor = true;
        } else if (!strcmp(arg, "-h") || !strcmp(arg, "--help")) {
            printf("%s\n", usage_text);
            exit(0);
        } else if (!strcmp(arg, "--check-only")) {
            g_startup.check_only = true;
        } else if (!strcmp(arg, "-d")) {
            log_set_extra_debug(true);
        } else {
            fprintf(stderr, "Unknown parameter %s\n", arg);
            exit(1);
        }
    }
}

void config_load(int argc, char **argv)
{
    config_parse_command_line(argc, argv);
    config_load_first();
}

void config_load_first()
{
    std::unique_ptr<icapd_config> fresh(new icapd_config());
    fresh->log_live = true;
    apply_log_settings(*fresh);
    g_mime_exit_status = 0;
    try {
        load_source(*fresh, true);
    } catch (const host_list_error &) {
        // The line naming the file has been logged; an option check goes
        // on to say "Options ERROR".
        if (g_startup.check_only)
            throw;
        fresh.reset();
        exit(1);
    } catch (...) {
        // The block parser has logged what is wrong; once the parse has let
        // go of everything, the process ends with the parser's status.
        if (g_mime_exit_status)
            exit(g_mime_exit_status);
        throw;
    }
    commit(*fresh);
}

void config_reload()
{
    g_mime_exit_status = 0;
    std::unique_ptr<icapd_config> fresh(new icapd_config());
    try {
        load_source(*fresh, false);
    } catch (...) {
        config_discard(*fresh);
        throw;
    }
    keep_restart_keys(*fresh, g_config);
    commit(*fresh);
}

void config_load_from_fd(icapd_config &c, int &fd, size_t len)
{
    std::vector<char> text;
    try {
        cf_parser parser;
        config_register(parser, c);
        c.bind_callbacks(parser);
        parser.add_mime_block = [&c](const std::string &block) {
            try {
                mime_parse_block(c.mime, block);
            } catch (const mime_syntax_error &e) {
                g_mime_exit_status = e.exit_status;
                throw;
            }
        };
        if (len > CONFIG_TEXT_MAX)
            throw std::runtime_error(std::string("error reading config file: ") + strerror(EFBIG));
        text.assign(len, '\0');
        errno = 0;
        ssize_t got = len ? io_read_exact(fd, text.data(), len, false) : 0;
        if (got != static_cast<ssize_t>(len))
            throw std::runtime_error(std::string("error reading config file: ") + strerror(errno ? errno : EIO));
        cf_parse_text(parser, text.data(), text.size());
        std::vector<char>().swap(text);
        // The default account is looked up only when the text names none,
        // so that a machine without "tavex" can still name its own.
        resolve_default_user(c);
    } catch (const std::exception &e) {
        throw std::runtime_error(std::string("Error while parsing config file: ") + e.what());
    }
    config_finish(c);
}

void config_check_cache(const icapd_config &c)
{
    const std::string &dir = c.Cache;
    struct stat st;
    std::string what;
    if (stat(dir.c_str(), &st) != 0)
        what = strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        what = strerror(ENOTDIR);
    else if (st.st_uid != c.user_id && st.st_uid != geteuid())
        what = "is owned by uid " + std::to_string(st.st_uid) + ", not by " + c.User;
    else if (st.st_mode & S_IWOTH)
        what = "is writable by others";
    if (!what.empty())
        throw std::runtime_error("Cache directory " + dir + ": " + what);
}

void config_discard(icapd_config &c)
{
    if (c.log_dest >= 0)
        close(c.log_dest);
    c.log_dest = LOG_DEST_CLOSED;
}
