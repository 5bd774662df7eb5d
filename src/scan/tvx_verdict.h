// Mapping of a scan response code to one verdict row: the configured action
// for its category, the reason text, the page template and the infection
// type and resolution reported to the client. Decides; the action itself
// is carried out by tvx_make_action_on_file.
#ifndef TVX_SCAN_TVX_VERDICT_H
#define TVX_SCAN_TVX_VERDICT_H

#include <cstdint>

#include "request/request.h"

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

// Values of infection_type and infection_resolution.
enum : int { TVX_INFECTION_THREAT = 0, TVX_INFECTION_NOT_CHECKED = 2 };
enum : int { TVX_RESOLUTION_NOT_REPAIRED = 0, TVX_RESOLUTION_REPAIRED = 1, TVX_RESOLUTION_BLOCKED = 2 };

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
// clean line. Returns 200 (clean), 3, 4, or 0 when the action failed.
int tvx_apply_verdict(uint32_t code, icap_entity &entity, icap_request &rq);

#endif
