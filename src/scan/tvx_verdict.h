// Mapping of a scan response code to one verdict row: the configured action
// for its category, the reason text, the page template and the infection
// type and resolution reported to the client. Decides; the action itself
// is carried out by tvx_make_action_on_file.
#ifndef TVX_SCAN_TVX_VERDICT_H
#define TVX_SCAN_TVX_VERDICT_H

#include <cstdint>
#include <functional>

#include "request/request.h"
#include "scan/tvx_action.h"

// Response-code bits and masks of the scan protocol.
constexpr uint32_t TVX_CODE_KNOWN_OR_MODIFIED = 0xA0;
constexpr uint32_t TVX_CODE_SUSPICIOUS = 0x40;
constexpr uint32_t TVX_CODE_CURED = 0x100;
constexpr uint32_t TVX_CODE_DELETED = 0x80000;
constexpr uint32_t TVX_CODE_CURED_OR_DELETED = 0x80100;
constexpr uint32_t TVX_CODE_ARCHIVE = 0x46000;
constexpr uint32_t TVX_CODE_DAEMON_ERROR = 0x8017;
constexpr uint32_t TVX_CODE_SKIP = 0x1E08;
constexpr uint32_t TVX_CODE_CLEAN = 0x100000;
constexpr uint32_t TVX_CODE_ADWARE = 0x400000;
constexpr uint32_t TVX_CODE_DIALER = 0x800000;
constexpr uint32_t TVX_CODE_JOKE = 0x1000000;
constexpr uint32_t TVX_CODE_RISKWARE = 0x2000000;
constexpr uint32_t TVX_CODE_HACKTOOL = 0x4000000;

// The row of the verdict table that a code selects.
struct tvx_verdict {
    bool matched;         // false: the object is clean
    int action;           // configured action code of the row's category
    const char *reason;
    const char *templ;    // page template, relative to Templates
    int infection_type;
    int infection_resolution;
    bool cured;           // the cured row: a passed body is named "Cure"
};

// The first row of the table that matches code (rows in their fixed order).
tvx_verdict tvx_verdict_for(uint32_t code);

// Applies the verdict for code to the entity: runs the row's action and
// records type, resolution and action name in the request, or logs the
// clean line (result TVX_RES_CLEAN). The action's page and line are left
// to the caller (tvx_action_done).
tvx_action tvx_apply_verdict(uint32_t code, icap_entity &entity, icap_request &rq);

// Builds the page of a template into the entity; true when it was built.
typedef std::function<bool(const char *templ)> tvx_page_builder;

// Carries an action through: its page (built by build_page, which belongs
// to the request flow), its line, and after a failure the daemon-error
// action, once (not when a is that fallback already). Returns
// TVX_RES_CLEAN, TVX_RES_BODY, TVX_RES_PAGE or TVX_RES_FAILED.
int tvx_verdict_run(icap_request &rq, icap_entity &entity, tvx_action a, const tvx_page_builder &build_page,
                    const tvx_mailer &mail = tvx_mailer());

#endif
