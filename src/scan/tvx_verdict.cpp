// The verdict table: response-code tests in their fixed order, each naming
// the category key whose configured action applies. The first matching row
// wins; no row means clean. Never touches the entity file itself.
#include "scan/tvx_verdict.h"

#include "config/icapd_config.h"
#include "log/log.h"
#include "scan/tvx_action.h"

namespace {

const char *const T_DENIED = "/ERR_ACCESS_DENIED";
const char *const T_FAILED = "/ERR_FAILED_CHECK";

tvx_verdict row(int action, const char *reason, const char *templ, int type, int resolution,
                bool cured = false)
{
    return tvx_verdict{true, action, reason, templ, type, resolution, cured};
}

}  // namespace

tvx_verdict tvx_verdict_for(uint32_t code)
{
    const icapd_config &c = g_config;
    if (code & TVX_CODE_KNOWN_OR_MODIFIED) {
        if (code & TVX_CODE_CURED_OR_DELETED)
            return row(c.Infected, "File is cured from known virus!", T_DENIED, TVX_INFECTION_THREAT,
                       TVX_RESOLUTION_REPAIRED, true);
        // Incurable is the action for what a cure could not repair. When no
        // cure was asked for (Infected is report, truncate or move), the
        // object's own configured action applies.
        int action = (c.scan_options & TAVEX_OPT_CURE) ? c.Incurable : c.Infected;
        return row(action, "File is infected and cannot be cured!", T_DENIED, TVX_INFECTION_THREAT,
                   TVX_RESOLUTION_NOT_REPAIRED);
    }
    if (code & TVX_CODE_SUSPICIOUS)
        return row(c.Suspicious, "File is cured from an unknown virus!", T_DENIED, TVX_INFECTION_THREAT,
                   TVX_RESOLUTION_NOT_REPAIRED);
    if (code & TVX_CODE_ARCHIVE)
        return row(c.ArchiveRestriction, "Archive restriction!", T_FAILED, TVX_INFECTION_NOT_CHECKED,
                   TVX_RESOLUTION_BLOCKED);
    if (code & TVX_CODE_DAEMON_ERROR)
        return row(c.DaemonError, "Daemon error has occured during check of this file!", T_FAILED,
                   TVX_INFECTION_NOT_CHECKED, TVX_RESOLUTION_BLOCKED);
    if (code & TVX_CODE_SKIP)
        return row(c.SkipObject, "Skip object error has occured during check of this file!", T_FAILED,
                   TVX_INFECTION_NOT_CHECKED, TVX_RESOLUTION_BLOCKED);
    if (code & TVX_CODE_ADWARE)
        return row(c.Adware, "This is adware program!", T_DENIED, TVX_INFECTION_THREAT,
                   TVX_RESOLUTION_NOT_REPAIRED);
    if (code & TVX_CODE_DIALER)
        return row(c.Dialers, "This is dialer program!", T_DENIED, TVX_INFECTION_THREAT,
                   TVX_RESOLUTION_NOT_REPAIRED);
    if (code & TVX_CODE_JOKE)
        return row(c.Jokes, "This is joke program!", T_DENIED, TVX_INFECTION_THREAT,
                   TVX_RESOLUTION_NOT_REPAIRED);
    if (code & TVX_CODE_RISKWARE)
        return row(c.Riskware, "This is riskware program!", T_DENIED, TVX_INFECTION_THREAT,
                   TVX_RESOLUTION_NOT_REPAIRED);
    if (code & TVX_CODE_HACKTOOL)
        return row(c.Hacktools, "This is hacktool program!", T_DENIED, TVX_INFECTION_THREAT,
                   TVX_RESOLUTION_NOT_REPAIRED);
    return tvx_verdict{false, 0, nullptr, nullptr, 0, 0, false};
}

tvx_action tvx_apply_verdict(uint32_t code, icap_entity &entity, icap_request &rq)
{
    tvx_verdict v = tvx_verdict_for(code);
    if (!v.matched) {
        int kib = static_cast<int>(entity.size / 1024 + 1);
        if (rq.client_ip[0])
            icapd_log(LOG_L_INFO, "url:[%s]; client_ip:[%s]; size=%ik - ok\n", rq.url, rq.client_ip, kib);
        else
            icapd_log(LOG_L_INFO, "url:[%s]; size=%ik - ok\n", rq.url, kib);
        return tvx_action();
    }
    tvx_action a = tvx_make_action_on_file(rq, entity, v.action, v.reason, v.templ);
    rq.infection_type = v.infection_type;
    rq.infection_resolution = v.infection_resolution;
    // A cured body that is passed on is named for the cure; a cured object
    // that was reported or quarantined keeps the name of what was done.
    if (v.cured && v.action == ACTION_PASS && a.result != TVX_RES_FAILED)
        rq.action_name = "Cure";
    return a;
}

int tvx_verdict_run(icap_request &rq, icap_entity &entity, tvx_action a, const tvx_page_builder &build_page,
                    const tvx_mailer &mail)
{
    for (;;) {
        bool built = a.result != TVX_RES_PAGE || build_page(a.templ);
        int result = tvx_action_done(rq, entity, a, built, mail);
        if (result != TVX_RES_FAILED || a.fallback)
            return result;
        a = tvx_apply_verdict(TVX_CODE_DAEMON_ERROR, entity, rq);
        a.fallback = true;
    }
}
