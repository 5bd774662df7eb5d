// Entity reception: headers read whole (bounded), bodies streamed chunk by
// chunk into temp files in fixed blocks, the preview dialogue and the
// policy decision at the end of the first body part. Every size, offset
// and line length the client sends is checked before it is used.
#include "icap/receive.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <stdlib.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "config/icapd_config.h"
#include "icap/reply.h"
#include "icap/send.h"
#include "request/entity.h"
#include "io/io.h"
#include "log/log.h"
#include "log/process_id.h"
#include "util/fd.h"

namespace {

constexpr size_t chunk_line_cap = 4096;
constexpr size_t trailer_line_cap = 10000;

// The alarm ends a connection process whose client stalls for Timeout
// seconds; it is re-armed before every wait for client data.
void arm_alarm() { io_alarm_arm(g_config.Timeout); }

bool ends_message(const icap_entity &e)
{
    return e.name == "req-body" || e.name == "res-body" || e.name == "null-body" || e.name == "opt-body";
}

// Answers a message that cannot be read as announced with 400 and closes
// the connection: the rest of it would otherwise be read as a new request.
int reject_malformed(int &fd)
{
    send_error_msg(fd, 400);
    io_drop(fd);
    return ICAP_RES_ERROR;
}

// The entity list must describe a readable message: offsets that never go
// backwards, every header followed by the entity that ends it and no larger
// than ICAP_HEADER_ENTITY_MAX, nothing after a body.
bool entities_well_formed(const icap_request &rq)
{
    const std::vector<icap_entity> &v = rq.entities;
    for (size_t i = 0; i < v.size(); ++i) {
        const icap_entity &e = v[i];
        const char *why = nullptr;
        if (i > 0 && ends_message(v[i - 1]))
            why = "an entity follows the body";
        else if (i + 1 < v.size() && v[i + 1].offset < e.offset)
            why = "offsets go backwards";
        else if (icap_is_header_entity(e) && i + 1 == v.size())
            why = "a header entity is the last entity";
        else if (icap_is_header_entity(e) && v[i + 1].offset - e.offset > ICAP_HEADER_ENTITY_MAX)
            why = "a header entity is too large";
        if (why) {
            icapd_log(LOG_L_ERROR, "icap_dump_entities: malformed Encapsulated value (%s at %s=%u)\n", why,
                      e.name.c_str(), e.offset);
            return false;
        }
    }
    return true;
}

// Reads one header entity into memory and derives what the request needs
// from it. False when the connection failed (it is then closed).
bool read_header_entity(icap_request &rq, int &fd, size_t i)
{
    icap_entity &e = rq.entities[i];
    unsigned next = rq.entities[i + 1].offset;
    unsigned len = next - e.offset;
    bool request = e.name == "req-hdr";

    if (request)
        icapd_log(LOG_L_FLOW, "icap_dump_entities: getting request header; hpool=%i\n", static_cast<int>(len));
    else
        icapd_log(LOG_L_FLOW, "icap_dump_entities: getting response header; hpool=%i\n", static_cast<int>(len));
    if (len == 0) {
        if (request)
            icapd_log(LOG_L_FLOW, "icap_dump_entities: error in req-hdr hpool %i - %i\n", static_cast<int>(next),
                      static_cast<int>(e.offset));
        else
            icapd_log(LOG_L_ERROR, "icap_dump_entities: error in res-hdr hpool %i - %i \n", static_cast<int>(next),
                      static_cast<int>(e.offset));
        return true;
    }
    try {
        e.buffer.assign(len, '\0');
    } catch (const std::bad_alloc &) {
        icapd_log(LOG_L_ERROR, "\nicap_dump_entities: can not find %i memory\n", static_cast<int>(len));
        io_drop(fd);
        return false;
    }
    if (io_read_exact(fd, &e.buffer[0], len, true) != static_cast<ssize_t>(len)) {
        io_drop(fd);
        return false;
    }
    e.size = len;

    const char *hdr = e.buffer.c_str();
    if (request) {
        icap_assemble_url(hdr, rq.url, sizeof rq.url);
        icap_request_set_url_string(rq, rq.url);
        icapd_log(LOG_L_FLOW, "icap_dump_entities: request header: \n**[%s]**\n", hdr);
    } else {
        icap_header_value(hdr, "content-type:", rq.content_type, sizeof rq.content_type);
        rq.content_length = get_real_content_length(hdr);
        icapd_log(LOG_L_FLOW, "\nicap_dump_entities: response header: \n**[%s]**\n", hdr);
    }
    return true;
}

// The chunk size at the start of a chunk-size line, read like "%x" (blanks,
// an optional "+" and "0x" before the digits, extensions after them).
// Returns 1 with *size and *ext set, 0 when the line holds no size (the
// line break after chunk data), -1 when the size is negative or too large.
int parse_chunk_size(const char *line, uint64_t *size, const char **ext)
{
    const char *p = line;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p == '-')
        return isxdigit(static_cast<unsigned char>(p[1])) ? -1 : 0;
    if (*p == '+')
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit(static_cast<unsigned char>(p[2])))
        p += 2;
    if (!isxdigit(static_cast<unsigned char>(*p)))
        return 0;
    uint64_t v = 0;
    for (; isxdigit(static_cast<unsigned char>(*p)); ++p) {
        int c = tolower(static_cast<unsigned char>(*p));
        v = v * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
        if (v > UINT32_MAX)
            return -1;
    }
    *size = v;
    *ext = p;
    return 1;
}

// True when the chunk extensions after a last chunk hold "ieof".
bool has_ieof(const char *ext)
{
    for (const char *p = strchr(ext, ';'); p; p = strchr(p + 1, ';')) {
        const char *q = p + 1;
        while (*q == ' ' || *q == '\t')
            ++q;
        if (strncasecmp(q, "ieof", 4) == 0 && !isalnum(static_cast<unsigned char>(q[4])) && q[4] != '-' &&
            q[4] != '_')
            return true;
    }
    return false;
}

bool line_complete(const char *line)
{
    size_t n = strlen(line);
    return n > 0 && line[n - 1] == '\n';
}

// Reads the rest of an overlong line and drops it. Returns 1, 0 when the
// connection failed, -1 when the line grows beyond ICAP_CHUNK_LINE_MAX.
int skip_rest_of_line(int &fd, size_t have)
{
    char rest[chunk_line_cap];
    while (fd >= 0) {
        int r = readline(fd, rest, sizeof rest, nullptr);
        if (r < 1)
            return 0;
        have += strlen(rest);
        if (have > ICAP_CHUNK_LINE_MAX)
            return -1;
        if (line_complete(rest))
            return 1;
    }
    return 0;
}

// Moves one chunk's data from the connection to the temp file in blocks,
// or reads it and drops it once the body could not be stored (*lost).
// The alarm is re-armed per block, so it measures a stall, not the time a
// large chunk takes. False when the connection failed.
bool stream_chunk_data(icap_request &rq, int &fd, icap_entity &e, uint64_t size, bool *lost)
{
    static char block[ICAP_BODY_BLOCK];
    while (size > 0) {
        size_t n = size < sizeof block ? static_cast<size_t>(size) : sizeof block;
        arm_alarm();
        if (io_read_exact(fd, block, n, true) != static_cast<ssize_t>(n)) {
            icapd_log(LOG_L_ERROR, "http_read_chunk: read return error\n");
            icapd_log(LOG_L_ERROR, "error in reading http entity\n");
            return false;
        }
        if (!*lost && !fd_write_all(e.fd, block, n)) {
            // A full Cache: the rest is read to keep the connection in
            // step, and the request gets an error reply.
            icapd_log(LOG_L_ERROR, "http_read_chunk: fwrite return error\n");
            icap_forget_temp_file(rq, e);
            *lost = true;
        }
        if (!*lost)
            e.size += static_cast<unsigned>(n);
        size -= n;
    }
    return true;
}

enum chunk_result { CHUNKS_DONE, CHUNKS_FAILED, CHUNKS_MALFORMED };

// Reads chunks into e's temp file up to and including the last chunk and
// the empty line after it (trailer lines are dropped). The file is created
// when the first chunk with data is announced: an empty body needs none.
// *ieof tells that the last chunk carried the ieof extension; *lost that
// the body could not be stored (its data was read and dropped).
chunk_result http_read_chunk(icap_request &rq, int &fd, icap_entity &e, bool *ieof, bool *lost)
{
    char line[chunk_line_cap];
    for (;;) {
        arm_alarm();
        int r = fd < 0 ? -1 : readline(fd, line, sizeof line, "chunk header -");
        if (r < 1) {
            icapd_log(LOG_L_ERROR, "error in reading http entity\n");
            return CHUNKS_FAILED;
        }
        if (!line_complete(line)) {
            int s = skip_rest_of_line(fd, strlen(line));
            if (s < 0) {
                icapd_log(LOG_L_ERROR, "http_read_chunk: chunk header line too long\n");
                return CHUNKS_MALFORMED;
            }
            if (s == 0) {
                icapd_log(LOG_L_ERROR, "error in reading http entity\n");
                return CHUNKS_FAILED;
            }
        }
        uint64_t size = 0;
        const char *ext = "";
        int p = parse_chunk_size(line, &size, &ext);
        if (p == 0)
            continue;
        if (p < 0 || size > UINT32_MAX - e.size) {
            icapd_log(LOG_L_ERROR, "http_read_chunk: chunk size out of range (%s) after %u bytes\n", line, e.size);
            return CHUNKS_MALFORMED;
        }
        if (size > 0) {
            if (!*lost && e.fd < 0 && creat_tmp_file(rq, e) != 200)
                *lost = true;
            if (!stream_chunk_data(rq, fd, e, size, lost))
                return CHUNKS_FAILED;
            continue;
        }

        icapd_log(LOG_L_CHUNK, "got '%s'\n", line);
        *ieof = has_ieof(ext);
        // The empty line that ends the body; trailer fields before it are dropped.
        char skip[trailer_line_cap];
        for (int n = 0;; ++n) {
            if (n >= ICAP_TRAILER_LINES_MAX) {
                icapd_log(LOG_L_ERROR, "http_read_chunk: too many trailer lines\n");
                return CHUNKS_MALFORMED;
            }
            if (fd < 0 || readline(fd, skip, sizeof skip, "skip line -") < 1) {
                icapd_log(LOG_L_ERROR, "error in reading http entity\n");
                return CHUNKS_FAILED;
            }
            if (!strcmp(skip, "\r\n") || !strcmp(skip, "\n"))
                break;
        }
        if (*ieof)
            icapd_log(LOG_L_CHUNK, "we read all file\n");
        else
            icapd_log(LOG_L_CHUNK, "http_read_chunk: final chunk, finalizing entity; recieved=%i  <<<\n",
                      static_cast<int>(e.size));
        return CHUNKS_DONE;
    }
}

// Replaces the message by the report (or an empty body); the walk ends.
int block_with_report(icap_request &rq, const char *report, bool *replaced)
{
    if (icap_replace_all_entity_with_report(rq, report) == 200) {
        *replaced = true;
        return ICAP_RES_BLOCKED;
    }
    rq.preview = -1;
    return ICAP_RES_ERROR;
}

// Receives one body entity with the preview dialogue; returns the walk's
// result for it. *replaced tells that the entity list was replaced.
int receive_body(icap_request &rq, int &fd, icap_entity &e, bool *replaced)
{
    e.size = 0;
    rq.null_body = false;
    // The descriptor is -1 until the first body byte is announced.
    icapd_log(LOG_L_FLOW, "icap_dump_entities: getting body (%i)\n", e.fd);

    const char *report = nullptr;
    bool lost = false;
    for (;;) {
        bool ieof = false;
        chunk_result c = http_read_chunk(rq, fd, e, &ieof, &lost);
        if (c == CHUNKS_MALFORMED)
            return reject_malformed(fd);
        if (c == CHUNKS_FAILED) {
            io_drop(fd);
            return ICAP_RES_ERROR;
        }
        icapd_log(LOG_L_FLOW, "icap_dump_entities: finished entity\n");
        if (lost) {
            // The client has sent all it will send before a reply (a
            // preview waits for one): the request is answered with 500.
            rq.preview = -1;
            return ICAP_RES_NOT_STORED;
        }

        int res = ICAP_RES_SCAN;
        if (!rq.decided)
            res = icap_policy_decide(rq, true, &report);

        if (ieof && rq.preview >= 0) {
            if (res == ICAP_RES_BLOCKED)
                return block_with_report(rq, report, replaced);
            rq.preview = -1;
            return ICAP_RES_COMPLETE;
        }
        if (!ieof && rq.preview >= 0 && e.size == static_cast<unsigned>(rq.preview)) {
            if (res == ICAP_RES_SCAN) {
                if (icap_send_continue(fd) != 200) {
                    io_drop(fd);
                    return ICAP_RES_ERROR;
                }
                rq.preview = -1;
                icapd_log(LOG_L_FLOW, "icap_dump_entities: send that we want continue\n");
                continue;
            }
            if (res == ICAP_RES_BLOCKED)
                return block_with_report(rq, report, replaced);
            return res;
        }
        if (res == ICAP_RES_BLOCKED)
            return block_with_report(rq, report, replaced);
        return ICAP_RES_COMPLETE;
    }
}

}  // namespace

int icap_header_value(const char *hdr, const char *name, char *dst, size_t cap)
{
    size_t nlen = strlen(name);
    if (cap > 0)
        dst[0] = '\0';
    for (const char *line = hdr; line && *line; line = strchr(line, '\n'), line = line ? line + 1 : nullptr) {
        if (strncasecmp(line, name, nlen) != 0)
            continue;
        const char *v = line + nlen;
        while (*v == ' ' || *v == '\t')
            ++v;
        size_t len = strcspn(v, "\r\n");
        if (cap == 0)
            return 1;
        if (len >= cap)
            len = cap - 1;
        memcpy(dst, v, len);
        dst[len] = '\0';
        return 1;
    }
    return 0;
}

long get_real_content_length(const char *hdr)
{
    char value[ICAP_URL_MAX];
    const char *text = nullptr;
    if (icap_header_value(hdr, "content-range:", value, sizeof value)) {
        const char *slash = strrchr(value, '/');
        if (slash)
            text = slash + 1;
    }
    if (!text) {
        if (!icap_header_value(hdr, "content-length:", value, sizeof value))
            return -1;
        text = value;
    }
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text) {
        icapd_log(LOG_L_FLOW, "get_real_content_length: error in parse int in: %s\n", text);
        return -1;
    }
    if (errno == ERANGE || v < 0 || v > INT_MAX) {
        icapd_log(LOG_L_FLOW, "get_real_content_length: overflow in parse length of body: %s\n", text);
        return INT_MAX;
    }
    return v;
}

namespace {

// The target of the first request line of this method ("get", "post"):
// true with the target when the line exists and the target is non-empty and
// followed by a blank, tab, CR or LF. *found tells that the line exists.
bool request_target(const char *hdr, const char *method, bool *found, const char **target, size_t *len)
{
    size_t mlen = strlen(method);
    *found = false;
    for (const char *line = hdr; line && *line; line = strchr(line, '\n'), line = line ? line + 1 : nullptr) {
        if (strncasecmp(line, method, mlen) != 0 || (line[mlen] != ' ' && line[mlen] != '\t'))
            continue;
        *found = true;
        const char *t = line + mlen;
        while (*t == ' ' || *t == '\t')
            ++t;
        size_t n = strcspn(t, " \r\n\t");
        if (n == 0 || t[n] == '\0')
            return false;
        *target = t;
        *len = n;
        return true;
    }
    return false;
}

// "scheme://" at the start of a request target: an absolute URL.
bool absolute_target(const char *t, size_t len)
{
    size_t i = 0;
    if (len == 0 || !isalpha(static_cast<unsigned char>(t[0])))
        return false;
    while (i < len && (isalnum(static_cast<unsigned char>(t[i])) || t[i] == '+' || t[i] == '-' || t[i] == '.'))
        ++i;
    return i + 3 <= len && t[i] == ':' && t[i + 1] == '/' && t[i + 2] == '/';
}

}  // namespace

void icap_assemble_url(const char *hdr, char *url, size_t cap)
{
    if (cap == 0)
        return;
    url[0] = '\0';
    bool found;
    const char *target = nullptr;
    size_t tlen = 0;
    bool have = request_target(hdr, "get", &found, &target, &tlen);
    if (!found)
        have = request_target(hdr, "post", &found, &target, &tlen);

    std::string u;
    char host[ICAP_URL_MAX];
    if (icap_header_value(hdr, "host:", host, sizeof host) || icap_header_value(hdr, "referer:", host, sizeof host)) {
        u = host;
        if (have && absolute_target(target, tlen)) {
            u.assign(target, tlen);
        } else if (have) {
            bool host_slash = !u.empty() && u.back() == '/';
            bool target_slash = target[0] == '/';
            if (host_slash && target_slash)
                u.pop_back();
            else if (!host_slash && !target_slash)
                u += '/';
            u.append(target, tlen);
        }
    } else if (have && absolute_target(target, tlen)) {
        // Without Host and Referer an absolute target still names the URL
        // (HTTP/1.0 clients): the host lists must see it.
        u.assign(target, tlen);
    }
    size_t n = u.size() < cap - 1 ? u.size() : cap - 1;
    memcpy(url, u.data(), n);
    url[n] = '\0';
}

int creat_tmp_file(icap_request &rq, icap_entity &e)
{
    if (entity_temp_create(rq, e, g_config.Cache, g_config.temp_file_mode) == 200)
        return 200;
    icapd_log(LOG_L_ERROR, "creat_tmp_file: error in creating temp file %s: %s\n",
              entity_temp_name(g_config.Cache, e).c_str(), strerror(errno));
    return 0;
}

int icap_dump_entities(icap_request &rq, int &fd)
{
    if (!entities_well_formed(rq))
        return reject_malformed(fd);

    int res = ICAP_RES_COMPLETE;
    bool replaced = false;
    for (size_t i = 0; i < rq.entities.size(); ++i) {
        icap_entity &e = rq.entities[i];
        if (icap_is_header_entity(e)) {
            if (!read_header_entity(rq, fd, i))
                return ICAP_RES_ERROR;
        } else if (e.name == "null-body") {
            icapd_log(LOG_L_FLOW, "icap_dump_entities:recieved null-body\n");
            rq.null_body = true;
        } else if (e.name == "req-body" || e.name == "res-body") {
            res = receive_body(rq, fd, e, &replaced);
            if (res == ICAP_RES_ERROR || res == ICAP_RES_NOT_STORED || replaced)
                return res;
        }
    }
    if (rq.preview >= 0)
        return res;
    icapd_log(LOG_L_FLOW, "icap_dump_entities: don`t start preview mode. preview_size=%i\n", rq.preview);
    return ICAP_RES_COMPLETE;
}
