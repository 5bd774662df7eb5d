// The process-wide request state and its reset between requests.
#include "request/request.h"


#include "request/entity.h"
#include "request/published.h"

icap_request g_request;

void icap_request_reset(icap_request &rq)
{
    icap_entities_release(rq);
    rq.method[0] = rq.uri[0] = rq.url[0] = rq.version[0] = '\0';
    rq.client_ip[0] = rq.client_username[0] = rq.reply_encapsulated[0] = '\0';
    rq.null_body = false;
    rq.allow_204 = false;
    rq.preview = -1;
    rq.connection_close = false;
    rq.viruses_list.clear();
    rq.infection_type = TVX_INFECTION_THREAT;
    rq.infection_resolution = TVX_RESOLUTION_NOT_REPAIRED;
    rq.action_name = nullptr;
    rq.response_desc = nullptr;
    rq.decided = false;
    rq.request_time = -1;
    icap_request_set_url_string(rq, std::string());
    rq.content_type[0] = '\0';
    rq.content_length = -1;
    icap_request_set_temp_file(rq, std::string());
    rq.scanned_path.clear();
    rq.quarantine_built = false;
    rq.quarantine_full_name.clear();
    rq.quarantine_file_offset = 0;
    rq.greport.clear();
}
