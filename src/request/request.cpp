// The process-wide request state and its reset and release operations.
// Releasing the entity list is the one place temporary body files are closed
// and deleted after a request.
#include "request/request.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>

icap_request g_request;
std::vector<std::string> greport;

namespace {

// Two slots for the published name: a new name is written into the slot
// the handlers do not read, then the index is switched in one store.
// Paths of files the kernel created are shorter than PATH_MAX (4096).
constexpr size_t published_name_max = 4096;
char published_names[2][published_name_max];
volatile sig_atomic_t published_slot = -1;  // -1: no current file

void publish_temp_file(const std::string &path)
{
    if (path.empty() || path.size() >= published_name_max) {
        published_slot = -1;
        return;
    }
    int slot = published_slot == 0 ? 1 : 0;
    memcpy(published_names[slot], path.c_str(), path.size() + 1);
    // The name is complete before a handler can find the index pointing at it.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    published_slot = slot;
}

}  // namespace

void icap_request_set_temp_file(icap_request &rq, const std::string &path)
{
    rq.current_temp_file = path;
    if (&rq == &g_request)
        publish_temp_file(path);
}

const char *request_published_temp_file()
{
    int slot = published_slot;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return slot < 0 ? nullptr : published_names[slot];
}

void icap_entities_release(icap_request &rq)
{
    for (icap_entity &e : rq.entities) {
        if (e.fd >= 0)
            close(e.fd);
        if (!e.path.empty()) {
            unlink(e.path.c_str());
            if (rq.current_temp_file == e.path)
                icap_request_set_temp_file(rq, std::string());
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
    icap_request_set_temp_file(rq, std::string());
    rq.quarantine_built = false;
    rq.quarantine_full_name.clear();
    rq.quarantine_file_offset = 0;
    greport.clear();
}
