// Fuzz target for the configuration language: one input is a configuration
// text, parsed with the daemon's parameter table, callbacks and MIME blocks
// as a load does. Error messages are the normal outcome; anything else is not.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <cstdlib>
#include <exception>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "conf_parser/cf_parse.h"
#include "conf_parser/cf_parser.h"
#include "config/config_load.h"
#include "config/icapd_config.h"
#include "config/param_table.h"
#include "log/log.h"
#include "policy/mime_rules.h"

namespace {

// Longest configuration text tried.
constexpr size_t fuzz_input_max = 65536;

std::string g_dir;  // the private working directory

// Removes the working directory and the files inputs created in it.
void fuzz_cleanup()
{
    if (DIR *d = opendir(g_dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, ".."))
                unlink((g_dir + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(g_dir.c_str());
}

// Moves into a private directory, so that a LogFile or other relative
// path named by an input lands there, once per process.
void fuzz_setup()
{
    char base[] = "/tmp/tvx-config-fuzz-XXXXXX";
    if (!mkdtemp(base) || chdir(base) != 0)
        abort();
    g_dir = base;
    atexit(fuzz_cleanup);
    log_set_level_mask(0);
}

}  // namespace

// A sanitizer report in a child ends it with a status of its own.
extern "C" const char *__asan_default_options() { return "exitcode=86"; }
extern "C" const char *__ubsan_default_options() { return "exitcode=86"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        fuzz_setup();
        ready = true;
    }
    if (size > fuzz_input_max)
        return 0;
    icapd_config c;
    try {
        cf_parser parser;
        config_register(parser, c);
        c.bind_callbacks(parser);
        cf_parse_text(parser, reinterpret_cast<const char *>(data), size);
    } catch (const std::exception &) {
        // a refused text: the message is the loader's report
    }
    config_discard(c);
    log_close();
    log_set_level_mask(0);
    return 0;
}
