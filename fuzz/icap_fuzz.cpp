// Fuzz target for the ICAP connection: one input is the byte stream a client
// sends on a connection, served with the default configuration: no scanning
// daemon, no alarm, no policy. A temp file left in Cache afterwards aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "config/icapd_config.h"
#include "icap_harness.h"
#include "io/io.h"
#include "log/log.h"

namespace {

// Makes the private Cache and Templates directories and a configuration
// without scanning daemon or time-out, once per process.
void fuzz_setup()
{
    std::string base = fuzz_harness_dir("/tmp/tvx-icap-fuzz-XXXXXX");
    std::string templates = base + "/templates";
    if (mkdir(templates.c_str(), 0700) != 0)
        abort();
    fuzz_harness_track(templates);
    std::string page = templates + "/ERR_DOWNLOAD_BLOCK";
    FILE *f = fopen(page.c_str(), "w");
    if (!f)
        abort();
    fuzz_harness_track(page);
    fputs("<p>blocked: $URL$</p>\n", f);
    fclose(f);
    g_config = icapd_config();
    g_config.TavexAddress.clear();
    g_config.tavex_addresses.clear();
    g_config.Cache = fuzz_harness_cache();
    g_config.Templates = templates;
    g_config.Timeout = 0;
    g_config.KeepAlive = true;
    g_config.UsePreview = true;
    io_set_timeout(0);
    log_set_level_mask(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        fuzz_setup();
        ready = true;
    }
    if (size > fuzz_input_max)
        return 0;
    fuzz_harness_run(data, size);
    return 0;
}
