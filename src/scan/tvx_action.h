// The actions a verdict can take on an entity's temp file: pass it on,
// empty it, move it to quarantine, or have it replaced by a report page.
// An action does the file work and says what is left: the page to build
// (the request flow builds it, from values it gathers), then the action
// line, which tvx_action_done writes once the outcome is known.
#ifndef TVX_SCAN_TVX_ACTION_H
#define TVX_SCAN_TVX_ACTION_H

#include <functional>
#include <string>

#include "request/request.h"

// Results of the scan and of its actions.
enum tvx_result : int {
    TVX_RES_FAILED = 0,   // the action (or the whole exchange) failed
    TVX_RES_BODY = 3,     // the entity file holds the body to send
    TVX_RES_PAGE = 4,     // the entity file is to hold (or holds) a report page
    TVX_RES_CLEAN = 200,  // clean: the body goes on unchanged
};

// Template of the page that replaces a quarantined (or not quarantined)
// body after a move.
constexpr const char *TVX_TEMPLATE_MOVED = "/ERR_ACCESS_DENIED_MOVED";

// What an action did and what the request flow still has to do.
struct tvx_action {
    int action = 0;                // the configured action code that ran
    int result = TVX_RES_CLEAN;
    const char *templ = nullptr;   // TVX_RES_PAGE: the page's template, relative to Templates
    const char *reason = nullptr;  // the verdict's reason text; nullptr when no action ran
    const char *word = "";         // the action as the log line names it
    std::string detail;            // the quarantine file after a successful move
    bool fallback = false;         // this is already the daemon-error fallback
};

// Applies action (ACTION_PASS, ACTION_REPORT, ACTION_TRUNCATE, ACTION_MOVE)
// to the entity for the given reason and records the action name in the
// request; templ names the report page. Throws std::runtime_error when a
// move finds no room for a quarantine name under the path limit.
tvx_action tvx_make_action_on_file(icap_request &rq, icap_entity &entity, int action, const char *reason,
                                   const char *templ);

// Sends the administrator's notification of an action that succeeded
// (reason, word, the template of its page); supplied by the request flow,
// which builds mails. Its outcome never changes the action's.
typedef std::function<void(const tvx_action &a)> tvx_mailer;

// Ends an action once its page, if it needed one, was built (page_built):
// a page that could not be built fails the action. Writes the action line
// at level 128, then with SendMail the notification of an action other
// than pass that succeeded (through mail, when given), then with SendStat
// or SendUrlsWithViruses the agent's record, and returns the final result:
// TVX_RES_BODY, TVX_RES_PAGE or TVX_RES_FAILED (TVX_RES_CLEAN for an
// action that never ran).
int tvx_action_done(icap_request &rq, icap_entity &entity, tvx_action &a, bool page_built,
                    const tvx_mailer &mail = tvx_mailer());

// Makes the entity file ready to be sent from its start and takes its
// size. Returns TVX_RES_BODY, or TVX_RES_FAILED (logged).
int tvx_pass_file(icap_entity &entity);

// Empties the entity file. Returns TVX_RES_BODY, or TVX_RES_FAILED (logged).
int tvx_truncate_file(icap_entity &entity);

#endif
