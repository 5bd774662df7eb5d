// Carrying out a verdict's action on the entity's temp file, always through
// the descriptor the entity holds: the name in the shared Cache directory
// is used only to rename the file into quarantine, and the renamed file is
// checked to be the one held. Builds no page and sends nothing.
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
#include "scan/agent_stat.h"
#include "request/entity.h"
#include "request/quarantine.h"

namespace {

// Opens the entity's file when it has no descriptor (never through a
// symbolic link). False with errno set.
bool entity_open(icap_entity &entity)
{
    if (entity.fd >= 0)
        return true;
    entity.fd = open(entity.path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    return entity.fd >= 0;
}

// Renames the entity's file to full and checks that the name now holds
// the file the entity holds: a file swapped in under the temp name is
// taken back out of the quarantine. 0 or the errno value; *renamed tells
// that the temp name is gone, whatever the check found.
int move_held_file(icap_entity &entity, const std::string &full, mode_t mode, bool *renamed)
{
    struct stat held, moved;
    *renamed = false;
    if (!entity_open(entity) || fstat(entity.fd, &held) != 0)
        return errno;
    // The mode is set through the descriptor, before the name is shared.
    if (fchmod(entity.fd, mode) != 0)
        return errno;
    if (rename(entity.path.c_str(), full.c_str()) != 0)
        return errno;
    *renamed = true;
    if (lstat(full.c_str(), &moved) != 0)
        return errno;
    if (moved.st_dev != held.st_dev || moved.st_ino != held.st_ino) {
        unlink(full.c_str());
        return ESTALE;
    }
    return 0;
}

}  // namespace

int tvx_pass_file(icap_entity &entity)
{
    if (!entity_open(entity)) {
        icapd_log(LOG_L_ERROR, "tvx_pass_file: can not open temp file %s: %s\n", entity.path.c_str(),
                  strerror(errno));
        return TVX_RES_FAILED;
    }
    struct stat st;
    if (fstat(entity.fd, &st) != 0) {
        icapd_log(LOG_L_ERROR, "tvx_pass_file: can not call fstat for %s: %s\n", entity.path.c_str(),
                  strerror(errno));
        return TVX_RES_FAILED;
    }
    if (static_cast<unsigned long long>(st.st_size) > UINT_MAX) {
        icapd_log(LOG_L_ERROR, "tvx_pass_file: can not call fstat for %s: %s\n", entity.path.c_str(),
                  strerror(EFBIG));
        return TVX_RES_FAILED;
    }
    entity.size = static_cast<unsigned>(st.st_size);
    lseek(entity.fd, 0, SEEK_SET);
    return TVX_RES_BODY;
}

int tvx_truncate_file(icap_entity &entity)
{
    if (!entity_open(entity) || ftruncate(entity.fd, 0) != 0) {
        icapd_log(LOG_L_INFO, "can not open temp file for truncate %s: %s\n", entity.path.c_str(),
                  strerror(errno));
        return TVX_RES_FAILED;
    }
    entity.size = 0;
    return TVX_RES_BODY;
}

tvx_action tvx_make_action_on_file(icap_request &rq, icap_entity &entity, int action, const char *reason,
                                   const char *templ)
{
    tvx_action a;
    a.action = action;
    a.reason = reason;
    a.templ = templ;
    switch (action) {
    case ACTION_PASS:
        if (!rq.action_name)
            rq.action_name = "Pass";
        a.word = "pass";
        a.result = tvx_pass_file(entity);
        break;
    case ACTION_TRUNCATE:
        rq.action_name = "Truncate";
        a.word = "truncate";
        a.result = tvx_truncate_file(entity);
        break;
    case ACTION_MOVE: {
        entity.size = 0;
        const std::string &full = quarantine_name(rq, g_config.quarantine());
        // A name that is empty, "." or ".." or too long would not name a
        // file inside the quarantine directory: that is a failed move.
        int err = quarantine_name_check(rq, g_config.quarantine());
        bool renamed = false;
        if (!err)
            err = move_held_file(entity, full, static_cast<mode_t>(g_config.QuarantineFilesMode), &renamed);
        // Once renamed, the held file is no longer a temp file of this
        // request: the page gets a file of its own.
        if (renamed)
            entity_temp_disown(rq, entity);
        if (err) {
            icapd_log(LOG_L_ERROR, "error in rename to file [%s]: %s\n", full.c_str(), strerror(err));
            rq.action_name = "Report";
            a.word = "report";
        } else {
            rq.action_name = "Move";
            a.word = "quarantine to file";
            a.detail = full;
        }
        a.templ = TVX_TEMPLATE_MOVED;
        a.result = TVX_RES_PAGE;
        break;
    }
    case ACTION_REPORT:
        rq.action_name = "Report";
        a.word = "report";
        a.result = TVX_RES_PAGE;
        break;
    default:
        icapd_log(LOG_L_ERROR, "tvx_make_action_on_file: wrong type=%i\n", action);
        a.reason = nullptr;
        a.result = TVX_RES_FAILED;
        break;
    }
    return a;
}

int tvx_action_done(icap_request &rq, icap_entity &entity, tvx_action &a, bool page_built, const tvx_mailer &mail)
{
    (void)entity;
    if (!a.reason)
        return a.result;
    if (a.result == TVX_RES_PAGE && !page_built)
        a.result = TVX_RES_FAILED;

    if (!a.detail.empty())
        icapd_log(LOG_L_WARN, "%s: %s %s\n", a.reason, a.word, a.detail.c_str());
    else
        icapd_log(LOG_L_WARN, "%s: %s\n", a.reason, a.word);

    if (a.result != TVX_RES_FAILED && a.action != ACTION_PASS && g_config.SendMail && mail)
        mail(a);
    if (g_config.SendStat || g_config.SendUrlsWithViruses)
        send_agent_stat(rq, a.action == ACTION_MOVE ? a.detail : std::string());
    return a.result;
}
