// Fuzz target for the e-mail template: an input is the text of
// "email.templ", expanded with the notification macros for a request that
// has a URL, a client address and a body size, into memory. The embedded
// page ($HTML_PAGE$) comes from a template that does not exist, as it
// might on a broken installation.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/icapd_config.h"
#include "log/log.h"
#include "report/mail.h"
#include "request/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    log_set_level_mask(0);
    g_config.Templates = "/nonexistent";
    g_config.Hostmaster = "admin@example.org";
    icap_request_reset(g_request);
    snprintf(g_request.url, sizeof g_request.url, "%s", "example.com/a?b=<c>&d=$URL$");
    snprintf(g_request.client_ip, sizeof g_request.client_ip, "%s", "10.0.0.1");
    icap_entity body;
    body.size = 4096;
    FILE *in = size ? fmemopen(const_cast<uint8_t *>(data), size, "r") : fopen("/dev/null", "r");
    if (!in)
        return 0;
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    if (out) {
        mail_expand(in, out, g_request, body, "in black list", "Content blocked", "/ERR_DOWNLOAD_BLOCK",
                    page_values());
        fclose(out);
    }
    free(buf);
    fclose(in);
    return 0;
}
