// ICAP request head parser. Every line is read through the timed line
// reader with a bounded capacity; the head as a whole is bounded in lines,
// bytes and entities so that an endless head cannot grow the process.
#include "icap/request_head.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "io/io.h"
#include "log/log.h"
#include "request/request.h"

namespace {

constexpr size_t head_line_cap = 4096;

// Finds the next blank-separated token at or after *p; returns its start
// and length, and moves *p past it. Length 0 when there is none.
const char *next_token(const char **p, size_t *len)
{
    const char *s = *p;
    while (*s && isspace(static_cast<unsigned char>(*s)))
        ++s;
    const char *e = s;
    while (*e && !isspace(static_cast<unsigned char>(*e)))
        ++e;
    *len = static_cast<size_t>(e - s);
    *p = e;
    return s;
}

// Copies the first token of text into dst (capacity cap).
void copy_first_token(char *dst, size_t cap, const char *text)
{
    size_t len;
    const char *t = next_token(&text, &len);
    if (len >= cap)
        len = cap - 1;
    memcpy(dst, t, len);
    dst[len] = '\0';
}

// Reads a number the way "%i" does (decimal, 0x hexadecimal, 0 octal,
// optional sign), clamped to the int range. False when there is none.
bool scan_int(const char *text, int *out)
{
    char *end;
    errno = 0;
    long v = strtol(text, &end, 0);
    if (end == text)
        return false;
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    *out = static_cast<int>(v);
    return true;
}

// The decimal offset at p, read up to the first non-digit, saturated.
unsigned scan_offset(const char *p)
{
    unsigned long v = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > UINT_MAX)
            v = UINT_MAX;
    }
    return static_cast<unsigned>(v);
}

bool ends_line(const char *line)
{
    size_t n = strlen(line);
    return n > 0 && line[n - 1] == '\n';
}

// Reads one head line, counting its bytes in *total. The part of an
// overlong line beyond the line capacity is consumed but never interpreted
// as a line of its own. Returns the readline result, or -2 when the head
// has grown beyond its byte bound.
int read_head_line(int &fd, char *line, const char *tag, size_t *total)
{
    int r = readline(fd, line, head_line_cap, tag);
    if (r <= 0)
        return r;
    *total += strlen(line);
    if (*total > ICAP_HEAD_MAX_BYTES)
        return -2;
    if (ends_line(line))
        return r;
    char rest[head_line_cap];
    for (;;) {
        if (fd < 0)
            return r;
        int s = readline(fd, rest, sizeof rest, nullptr);
        if (s < 0)
            return s;
        if (s == 0)
            return r;  // the peer is gone: the part read so far is the line
        *total += strlen(rest);
        if (*total > ICAP_HEAD_MAX_BYTES)
            return -2;
        if (ends_line(rest))
            return r;
    }
}

int head_too_large()
{
    icapd_log(LOG_L_ERROR, "ICAP request head too large (more than %i header lines or %i bytes)\n",
              ICAP_HEAD_MAX_FIELDS, static_cast<int>(ICAP_HEAD_MAX_BYTES));
    return 400;
}

// Appends the entities of an Encapsulated value; 200, or the request's code.
int parse_encapsulated(icap_request &rq, const char *value, const char *line)
{
    static const char *const kinds[] = {"req-hdr", "res-hdr", "req-body", "res-body", "opt-body", "null-body"};
    const char *p = value;
    for (;;) {
        size_t len;
        const char *t = next_token(&p, &len);
        if (len == 0)
            return 200;
        char token[head_line_cap];
        memcpy(token, t, len);
        token[len] = '\0';

        const char *kind = nullptr;
        const char *at = nullptr;
        for (const char *k : kinds) {
            char prefix[16];
            snprintf(prefix, sizeof prefix, "%s=", k);
            if ((at = strstr(token, prefix)) != nullptr) {
                kind = k;
                at += strlen(prefix);
                break;
            }
        }
        if (!kind) {
            icapd_log(LOG_L_ERROR, "unrecognize entity type %s in header %s\n", token, line);
            return 0;
        }
        if (rq.entities.size() >= ICAP_HEAD_MAX_ENTITIES) {
            icapd_log(LOG_L_ERROR, "too many entities in header %s\n", line);
            return 400;
        }
        try {
            icap_entity e;
            e.name = kind;
            e.offset = scan_offset(at);
            rq.entities.push_back(std::move(e));
        } catch (const std::bad_alloc &) {
            return 500;
        }
    }
}

// Interprets one header field; 200 to go on, otherwise the request's code.
int parse_field(icap_request &rq, const char *name, size_t name_len, const char *value, const char *line)
{
    auto is = [&](const char *field) { return strlen(field) == name_len && memcmp(name, field, name_len) == 0; };

    if (is("Encapsulated:"))
        return parse_encapsulated(rq, value, line);
    if (is("Preview:")) {
        if (!scan_int(value, &rq.preview)) {
            icapd_log(LOG_L_ERROR, "error in parse icap header %s\n", line);
            return 400;
        }
    } else if (is("Allow:")) {
        int v;
        rq.allow_204 = scan_int(value, &v) && v == 204;
    } else if (is("Connection:")) {
        char token[head_line_cap];
        copy_first_token(token, sizeof token, value);
        if (strcasecmp(token, "close") == 0)
            rq.connection_close = true;
    } else if (is("X-Client-IP:")) {
        copy_first_token(rq.client_ip, sizeof rq.client_ip, value);
    } else if (is("X-Client-Username:")) {
        copy_first_token(rq.client_username, sizeof rq.client_username, value);
    }
    return 200;
}

}  // namespace

int icap_read_request_head(int &fd)
{
    icap_request &rq = g_request;
    char line[head_line_cap];
    size_t total = 0;

    io_alarm_arm(g_config.Timeout);

    int r = read_head_line(fd, line, "icap header -", &total);
    if (r == -2)
        return head_too_large();
    if (r < 0)
        return 0;
    if (r == 0)
        return 1;

    const char *p = line;
    size_t len[3];
    const char *tok[3];
    for (int i = 0; i < 3; ++i)
        tok[i] = next_token(&p, &len[i]);
    if (len[2] == 0) {
        icapd_log(LOG_L_ERROR, "wrong ICAP request '%s'\n", line);
        return 400;
    }
    memcpy(rq.method, tok[0], len[0]);
    rq.method[len[0]] = '\0';
    memcpy(rq.uri, tok[1], len[1]);
    rq.uri[len[1]] = '\0';
    memcpy(rq.version, tok[2], len[2]);
    rq.version[len[2]] = '\0';
    if ((strcmp(rq.method, "RESPMOD") != 0 && strcmp(rq.method, "REQMOD") != 0 &&
         strcmp(rq.method, "OPTIONS") != 0) ||
        strcasecmp(rq.version, "ICAP/1.0") != 0) {
        icapd_log(LOG_L_ERROR, "wrong ICAP request '%s'\n", line);
        return 400;
    }

    for (int fields = 0;; ++fields) {
        r = read_head_line(fd, line, nullptr, &total);
        if (r == -2)
            return head_too_large();
        if (r < 0)
            return 0;
        if (r == 0)
            line[0] = '\0';
        const char *value = line;
        size_t name_len;
        const char *name = next_token(&value, &name_len);
        if (name_len == 0)
            return 1;
        if (fields >= ICAP_HEAD_MAX_FIELDS)
            return head_too_large();
        icapd_log(LOG_L_HEADERS, "icap header - %s\n", line);
        int rc = parse_field(rq, name, name_len, value, line);
        if (rc != 200)
            return rc;
    }
}
