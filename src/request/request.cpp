// The process-wide request state and its reset and release operations.
// Releasing the entity list is the one place temporary body files are closed
// and deleted after a request.
#include "request/request.h"

#include <cstring>
#include <unistd.h>

icap_request g_request;
std::vector<std::string> greport;

void icap_entities_release(icap_request &rq)
{
    for (icap_entity &e : rq.entities) {
        if (e.fd >= 0)
            close(e.fd);
        if (!e.path.empty()) {
            unlink(e.path.c_str());
            if (rq.current_temp_file == e.path)
                rq.current_temp_file.clear();
        }
    }
    rq.entities.clear();
}

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
    rq.infection_type = 0;
    rq.infection_resolution = 0;
    rq.action_name = nullptr;
    rq.response_desc = nullptr;
    rq.decided = false;
    rq.request_time = -1;
    rq.url_string.clear();
    rq.content_type[0] = '\0';
    rq.content_length = -1;
    rq.current_temp_file.clear();
    rq.quarantine_built = false;
    rq.quarantine_full_name.clear();
    rq.quarantine_file_offset = 0;
    greport.clear();
}
