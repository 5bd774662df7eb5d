// The once-per-request policy decision and its log lines. The content
// policy (override getter, host lists, URL categories, MIME rules, block
// mail) is reached through the small call-outs at the top of this file;
// how a list or a category file is searched is the policy layer's.
#include "icap/decision.h"

#include <climits>
#include <string>

#include "conf_parser/cf_expr.h"
#include "config/icapd_config.h"
#include "log/log.h"
#include "policy/host_list.h"
#include "policy/mime_rules.h"
#include "policy/ucf_files.h"
#include "icap/scan_flow.h"
#include "report/template.h"
#include "request/entity.h"

namespace {

// BlockAll in force for this request: the first true match section that
// assigns it, else the global value.
bool block_all(const icap_request &rq)
{
    return g_config.block_switch(BLOCK_ALL, expr_context(rq));
}

// Host-list match of the request URL against BlackHosts / WhiteHosts.
bool url_in_black_hosts(const icap_request &rq) { return is_host_in_list(rq.url, g_config.black_hosts); }
bool url_in_white_hosts(const icap_request &rq) { return is_host_in_list(rq.url, g_config.white_hosts); }

// URL-category test: true when a category file blocks the URL; rule then
// receives the matched text. It logs its own line. A category is consulted
// only when its switch, with the request's match-section overrides, is on.
bool url_category_blocks(const icap_request &rq, std::string &rule)
{
    ucf_query q;
    q.url = rq.url;
    q.client_ip = rq.client_ip;
    q.white_hosts = &g_config.white_ucf_hosts;
    q.enabled = [&rq](int category) { return g_config.block_switch(BLOCK_PORNO + category, expr_context(rq)); };
    return ucf_files_is_blocked(g_config.ucf, q, rule);
}

// The MIME rule for the body by content type and length: its action
// code, the reject option in *option, the rule's printed form (", rule:
// ...") in *rule_desc.
int mime_decision(const icap_request &rq, int *option, std::string *rule_desc)
{
    const ::mime_rule *rule = nullptr;
    *option = MIME_OPT_NONE;
    int action = mime_find_rule(g_config.mime, rq.content_type, rq.content_length, option, &rule);
    *rule_desc = rule ? mime_format_rule(", rule:", *rule) : std::string();
    return action;
}

// Block notification mail (SendMailUcfBlock): reason "in black list",
// action "Content blocked", the block page, and the matched category text
// as lock name (empty for a host-list block). $SIZE$ shows the body
// received so far.
void notify_block(icap_request &rq, const std::string &matched)
{
    icap_entity none;
    icap_entity *body = &none;
    for (icap_entity &e : rq.entities)
        if (icap_is_body_entity(e))
            body = &e;
    icap_mail_report(rq, *body, "in black list", "Content blocked", REPORT_DOWNLOAD_BLOCK, matched, false);
}

int log_length(const icap_request &rq)
{
    return rq.content_length > INT_MAX ? INT_MAX : static_cast<int>(rq.content_length);
}

// "url:[...], client_ip:[...], content-type: ..., size=N<rule> -> reason"
void log_decision(const icap_request &rq, unsigned level, bool with_client, const std::string &rule,
                  const char *reason)
{
    std::string client;
    if (with_client && rq.client_ip[0])
        client = std::string(" client_ip:[") + rq.client_ip + "],";
    icapd_log(level, "url:[%s],%s content-type: %s, size=%i%s -> %s\n", rq.url, client.c_str(), rq.content_type,
              log_length(rq), rule.c_str(), reason);
}

}  // namespace

bool icap_url_in_white_hosts(const icap_request &rq) { return url_in_white_hosts(rq); }

bool icap_scan_configured() { return !g_config.tavex_addresses.empty(); }

int icap_policy_decide(icap_request &rq, bool has_body, const char **report)
{
    rq.decided = true;
    *report = REPORT_DOWNLOAD_BLOCK;

    if (block_all(rq)) {
        icapd_log(LOG_L_FLOW, "url:[%s], content-type: %s, size=%i -> %s\n", rq.url, rq.content_type, log_length(rq),
                  "blocked due to BlockAll");
        return ICAP_RES_BLOCKED;
    }

    std::string category_rule;
    bool black = url_in_black_hosts(rq);
    if (black || url_category_blocks(rq, category_rule)) {
        if (black)
            log_decision(rq, LOG_L_WARN, true, std::string(), "in black list");
        if (g_config.SendMailUcfBlock)
            notify_block(rq, category_rule);
        return ICAP_RES_BLOCKED;
    }
    if (!has_body)
        return ICAP_RES_NO_CHANGE;

    std::string rule;
    int option;
    int action = mime_decision(rq, &option, &rule);
    switch (action) {
    case MIME_PASS:
        log_decision(rq, LOG_L_WARN, true, rule, "pass without check");
        return ICAP_RES_NO_CHANGE;
    case MIME_SCAN:
        if (!icap_scan_configured()) {
            log_decision(rq, LOG_L_WARN, true, rule, "antivirus disabled");
            return ICAP_RES_NO_CHANGE;
        }
        if (url_in_white_hosts(rq)) {
            icapd_log(LOG_L_FLOW, "in white list\n");
            log_decision(rq, LOG_L_WARN, true, rule, "continue checking");
            return ICAP_RES_NO_CHANGE;
        }
        log_decision(rq, LOG_L_FLOW, false, rule, "continue checking");
        return ICAP_RES_SCAN;
    case MIME_REJECT:
        if (option == MIME_OPT_TRUNC)
            *report = nullptr;
        log_decision(rq, LOG_L_WARN, true, rule, "reject access to this url");
        return ICAP_RES_BLOCKED;
    default:
        break;
    }
    icapd_log(LOG_L_ERROR, "icap_select_preview_behavior: wrong val=%i\n", action);
    return ICAP_RES_SCAN;
}
