// Carrying out a verdict's action on the entity's temp file. A file leaves
// the temp directory only by a rename into the quarantine directory under
// a name checked to stay inside it; every other action rewrites the file
// in place.
#include "scan/tvx_action.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "log/log.h"
#include "report/template.h"
#include "scan/quarantine.h"

namespace {

void close_entity(icap_entity &entity)
{
    if (entity.fd >= 0) {
        close(entity.fd);
        entity.fd = -1;
    }
}

}  // namespace

int tvx_pass_file(icap_entity &entity)
{
    close_entity(entity);
    entity.fd = open(entity.path.c_str(), O_RDWR | O_CLOEXEC);
    if (entity.fd < 0) {
        icapd_log(LOG_L_ERROR, "tvx_pass_file: can not open temp file %s: %s\n", entity.path.c_str(),
                  strerror(errno));
        return 0;
    }
    struct stat st;
    if (fstat(entity.fd, &st) != 0) {
        icapd_log(LOG_L_ERROR, "tvx_pass_file: can not call fstat for %s: %s\n", entity.path.c_str(),
                  strerror(errno));
        return 0;
    }
    if (static_cast<unsigned long long>(st.st_size) > UINT_MAX) {
        icapd_log(LOG_L_ERROR, "tvx_pass_file: can not call fstat for %s: %s\n", entity.path.c_str(),
                  strerror(EFBIG));
        return 0;
    }
    entity.size = static_cast<unsigned>(st.st_size);
    return 3;
}

int tvx_truncate_file(icap_entity &entity)
{
    close_entity(entity);
    entity.fd = open(entity.path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, g_config.temp_file_mode);
    if (entity.fd < 0) {
        icapd_log(LOG_L_INFO, "can not open temp file for truncate %s: %s\n", entity.path.c_str(),
                  strerror(errno));
        return 0;
    }
    entity.size = 0;
    return 3;
}

int tvx_make_action_on_file(icap_request &rq, icap_entity &entity, int action, const char *reason,
                            const char *templ)
{
    int result = 0;
    const char *word = "";
    std::string detail;      // the quarantine file after a successful move
    const char *templ_used = templ;

    switch (action) {
    case ACTION_PASS:
        if (!rq.action_name)
            rq.action_name = "Pass";
        word = "pass";
        result = tvx_pass_file(entity);
        break;
    case ACTION_TRUNCATE:
        rq.action_name = "Truncate";
        word = "truncate";
        result = tvx_truncate_file(entity);
        break;
    case ACTION_MOVE: {
        close_entity(entity);
        entity.size = 0;
        const std::string &full = quarantine_name(rq);
        // A name that is empty, "." or ".." or too long would not name a
        // file inside the quarantine directory: that is a failed move.
        int err = quarantine_name_check(rq);
        if (!err && rename(entity.path.c_str(), full.c_str()) != 0)
            err = errno;
        if (!err && chmod(full.c_str(), static_cast<mode_t>(g_config.QuarantineFilesMode)) != 0)
            err = errno;
        if (err) {
            icapd_log(LOG_L_ERROR, "error in rename to file [%s]: %s\n", full.c_str(), strerror(err));
            rq.action_name = "Report";
            word = "report";
        } else {
            rq.action_name = "Move";
            word = "quarantine to file";
            detail = full;
        }
        templ_used = TVX_TEMPLATE_MOVED;
        result = make_report_page(rq, entity, templ_used, nullptr, false) == 200 ? 4 : 0;
        break;
    }
    case ACTION_REPORT:
        rq.action_name = "Report";
        word = "report";
        result = make_report_page(rq, entity, templ, nullptr, false) == 200 ? 4 : 0;
        break;
    default:
        icapd_log(LOG_L_ERROR, "tvx_make_action_on_file: wrong type=%i\n", action);
        return 0;
    }

    if (!detail.empty())
        icapd_log(LOG_L_WARN, "%s: %s %s\n", reason, word, detail.c_str());
    else
        icapd_log(LOG_L_WARN, "%s: %s\n", reason, word);

    if (result != 0 && action != ACTION_PASS && g_config.SendMail) {
        // E-mail notification of the administrator: tvx_report_file(rq,
        // entity, reason, word, templ_used, "") once notifications exist;
        // its result never changes this one.
        (void)templ_used;
    }
    if (g_config.SendStat || g_config.SendUrlsWithViruses) {
        // Statistics record to the agent: send_agent_stat(rq, detail) once
        // the agent statistics exist; its result never changes this one.
    }
    return result;
}
