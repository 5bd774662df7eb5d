// The request state of a connection process: icap_request with its entity
// list, the threats and report lines of the last scan, and the per-request
// values kept beside it. Plain data shared by the ICAP layer, the scanner,
// the templates and the expression context; it does no I/O of its own
// (entity files are request/entity's).
#ifndef TVX_REQUEST_REQUEST_H
#define TVX_REQUEST_REQUEST_H

#include <ctime>
#include <string>
#include <vector>

constexpr size_t ICAP_TEXT_MAX = 4096;   // method, uri, version, client values
constexpr size_t ICAP_URL_MAX = 10000;   // url and content type
constexpr size_t ICAP_ENCAP_MAX = 256;   // reply Encapsulated value
constexpr size_t ICAP_ENTITY_NAME_MAX = 255;

// One encapsulated entity, in Encapsulated order.
struct icap_entity {
    std::string name;      // req-hdr, res-hdr, req-body, res-body, opt-body, null-body
    unsigned offset = 0;   // offset from Encapsulated; re-used for the reply offset
    unsigned size = 0;     // bytes received (header length or body length)
    int fd = -1;           // temporary file holding a body, or -1
    std::string path;      // path of that temporary file, empty when none
    std::string buffer;    // header bytes
};

// Values of infection_type (X-Infection-Found "Type") and
// infection_resolution ("Resolution").
enum : int { TVX_INFECTION_THREAT = 0, TVX_INFECTION_NOT_CHECKED = 2 };
enum : int { TVX_RESOLUTION_NOT_REPAIRED = 0, TVX_RESOLUTION_REPAIRED = 1, TVX_RESOLUTION_BLOCKED = 2 };

// A threat name reported by the scanning daemon with its type code.
struct VirusRecord {
    std::string name;
    int type = 0;
};

struct icap_request {
    char method[ICAP_TEXT_MAX];
    char uri[ICAP_TEXT_MAX];
    char url[ICAP_URL_MAX];
    char version[ICAP_TEXT_MAX];
    char client_ip[ICAP_TEXT_MAX];
    char client_username[ICAP_TEXT_MAX];
    char reply_encapsulated[ICAP_ENCAP_MAX];
    bool null_body;
    bool allow_204;
    int preview;           // -1 when absent or after "100 Continue"
    bool connection_close;
    std::vector<icap_entity> entities;
    std::vector<VirusRecord> viruses_list;
    // The report lines of the last scan, or the one line of a block page.
    std::vector<std::string> greport;
    int infection_type;
    int infection_resolution;
    const char *action_name;    // X-Response-Info, or nullptr
    const char *response_desc;  // X-Response-Desc, or nullptr
    bool decided;

    // Values kept beside the request.
    time_t request_time;        // start of the request, -1 between requests
    std::string url_string;     // the URL for log lines
    char content_type[ICAP_URL_MAX];
    long content_length;        // -1 when unknown
    std::string current_temp_file;  // deleted by the SIGTERM/SIGALRM handlers
    std::string scanned_path;       // the temp file the last scan was about

    // Quarantine name of this request, built on first use by the scanning
    // client: the directory part ends at quarantine_file_offset.
    bool quarantine_built;
    std::string quarantine_full_name;
    size_t quarantine_file_offset;
};

// The request being handled by this process.
extern icap_request g_request;

// Empties every field of the request state for the next request, the
// entity list included (its temporary files are deleted).
void icap_request_reset(icap_request &rq);

#endif
