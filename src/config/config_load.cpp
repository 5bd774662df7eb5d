// The configuration load sequence: command line, source, registration,
// timed read of the text, parse, expression dump and finishing steps, and
// the reset before a reload. Runs in the listener only.
#include "config/config_load.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "conf_parser/cf_override.h"
#include "conf_parser/cf_parse.h"
#include "conf_parser/cf_parser.h"
#include "config/icapd_config.h"
#include "io/io.h"
#include "log/log.h"
#include "policy/mime_rules.h"

icapd_startup g_startup;

namespace {

// A configuration text larger than this is refused before any buffer is
// sized by it.
constexpr size_t config_text_max = 64u << 20;

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

// The text of the configuration being loaded; released after the parse.
std::vector<char> g_text;

// Logs the [def] functions and the match expressions as compiled, one log
// line per line of their printed form.
void log_compiled_expressions()
{
    std::ostringstream os;
    g_config.functions.dump(os);
    cf_dump_match_blocks(os, g_config.mb);
    std::istringstream in(os.str());
    std::string line;
    while (std::getline(in, line))
        icapd_log(LOG_L_TRACE, "%s\n", line.c_str());
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
void compute_quarantine_limits()
{
    const char *dir = g_config.PathToQuarantine.c_str();
    g_config.quarantine_name_max = path_limit(pathconf(dir, _PC_NAME_MAX), quarantine_name_default);
    g_config.quarantine_path_max = path_limit(pathconf(dir, _PC_PATH_MAX), quarantine_path_default);
}

// What follows a successful parse: content-policy lists, the log size
// check, the quarantine limits and the I/O time-out.
void config_finish()
{
    // The content policy is compiled here, once the text is in: the host
    // lists (BlackHosts, WhiteHosts, AclList, WhiteUcfFiles, each followed
    // by its listing), then the URL-category files, whose failure raises
    // "Error in reading ucf files.". Neither is part of this build yet.
    log_truncate_check(g_config.MaxLogSize);
    compute_quarantine_limits();
    io_set_timeout(g_config.Timeout);
    icapd_log(LOG_L_FLOW, "init: tavex-icapd starting\n");
}

// Loads from the configuration file at path.
void load_file(const std::string &path)
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
        config_load_from_fd(fd, static_cast<size_t>(st.st_size));
    } catch (...) {
        if (fd >= 0)
            close(fd);
        throw;
    }
    if (fd >= 0)
        close(fd);
}

// Loads from the source chosen by the command line.
void load_source()
{
    mime_rules_reset();
    const std::string &source = g_startup.source;
    if (source.find(':') != std::string::npos) {
        // A source with a colon names the management agent.
        throw std::runtime_error("configuration source " + source +
                                 " names an agent; fetching the configuration from an agent is not supported");
    }
    load_file(source);
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
    load_source();
}

void config_reload() { load_source(); }

void config_load_from_fd(int &fd, size_t len)
{
    try {
        cf_parser parser;
        g_config.register_params(parser);
        g_config.bind_callbacks(parser);
        parser.add_mime_block = [](const std::string &text) { mime_parse_block(text); };
        if (len > config_text_max)
            throw std::runtime_error(std::string("error reading config file: ") + strerror(EFBIG));
        g_text.assign(len, '\0');
        errno = 0;
        ssize_t got = len ? io_read_exact(fd, g_text.data(), len, false) : 0;
        if (got != static_cast<ssize_t>(len))
            throw std::runtime_error(std::string("error reading config file: ") +
                                     strerror(errno ? errno : EIO));
        cf_parse_text(parser, g_text.data(), g_text.size());
        std::vector<char>().swap(g_text);
        // The default account is looked up only when the text names none,
        // so that a machine without "tavex" can still name its own.
        g_config.resolve_default_user();
    } catch (const std::exception &e) {
        std::vector<char>().swap(g_text);
        throw std::runtime_error(std::string("Error while parsing config file: ") + e.what());
    }
    log_compiled_expressions();
    config_finish();
}

void config_reset()
{
    mime_rules_reset();
    g_config.reset();
    // The host lists are emptied here as well once they are built by the
    // load (see config_finish).
}
