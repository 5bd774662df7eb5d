// Report pages for verdicts, built by the page builder from the templates.
#include "scan/tvx_page.h"

#include "log/log.h"

int tvx_page(icap_request &rq, icap_entity &entity, const char *templ)
{
    (void)rq;
    (void)entity;
    icapd_log(LOG_L_ERROR, "can`t open template - %s: %s\n", templ, "no page builder linked");
    return 0;
}
