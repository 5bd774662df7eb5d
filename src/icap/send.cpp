// Reply entities on the wire. The head, the headers, the chunk-size lines
// and small chunks are gathered into one text and written together; large
// chunks go from their temp files with sendfile (a bounded copy loop where
// the kernel cannot), the reply corked around them.
#include "icap/send.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "icap/scan_flow.h"
#include "icap/reply.h"
#include "io/io.h"
#include "log/log.h"
#include "report/template.h"
#include "request/entity.h"

namespace {

constexpr unsigned long default_block = 10485760;

int wait_seconds() { return io_timeout() < 1 ? -1 : io_timeout(); }

// Reads exactly n bytes of the file at off into dst.
bool read_file_at(int file, char *dst, size_t n, off_t off)
{
    while (n > 0) {
        ssize_t r = pread(file, dst, n, off);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            icapd_log(LOG_L_ERROR, "error in reading data from temp file: %s\n", r < 0 ? strerror(errno) : "end of file");
            return false;
        }
        dst += r;
        off += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Sends n bytes of the file from off through a bounded buffer (for
// descriptors sendfile cannot serve).
bool copy_file_range_to(int &fd, int file, off_t off, size_t n)
{
    static char block[ICAP_BODY_BLOCK];
    while (n > 0) {
        size_t want = n < sizeof block ? n : sizeof block;
        if (!read_file_at(file, block, want, off))
            return false;
        if (io_write_all(fd, block, want) != static_cast<ssize_t>(want))
            return false;
        off += static_cast<off_t>(want);
        n -= want;
    }
    return true;
}

// Sends exactly n bytes of the file from off, waiting for the socket with
// the time-out like every other write. A hard error closes the connection.
bool send_file_range(int &fd, int file, off_t off, size_t n)
{
    while (n > 0) {
        if (fd < 0)
            return false;
        ssize_t r = sendfile(fd, file, &off, n);
        if (r > 0) {
            n -= static_cast<size_t>(r);
            continue;
        }
        if (r == 0) {
            icapd_log(LOG_L_ERROR, "error in reading data from temp file: %s\n", "end of file");
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int w = io_wait(fd, wait_seconds(), false);
            if (w < 0) {
                icapd_log(LOG_L_ERROR, "%s: error in select: %s\n", "write", strerror(errno));
                return false;
            }
            if (w == 0) {
                icapd_log(LOG_L_FLOW, "%s: timeout error (after %i seconds)\n", "write", io_timeout());
                return false;
            }
            continue;
        }
        if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
            return copy_file_range_to(fd, file, off, n);
        icapd_log(LOG_L_ERROR, "%s error: %s\n", "write", strerror(errno));
        io_drop(fd);
        return false;
    }
    return true;
}

bool send_text(int &fd, const std::string &text)
{
    return io_write_all(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// The reply text waiting to be written: head, headers, chunk-size lines
// and the data of small chunks go out together in one write.
struct reply_text {
    std::string text;
    bool head_pending = false;  // the ICAP head is still in text
    std::string head;           // for its log line

    // Writes what is waiting; false when the connection failed.
    bool flush(int &fd)
    {
        if (text.empty())
            return true;
        bool ok = send_text(fd, text);
        if (head_pending) {
            if (ok)
                icapd_log(LOG_L_FLOW, "icap_handle: send header>>> \n[%s]\n\n", head.c_str());
            else
                icapd_log(LOG_L_FLOW, "icap_handle: error in send header>>> %s\n", head.c_str());
            head_pending = false;
        }
        text.clear();
        return ok;
    }
};

// Reads up to n bytes of the file from offset 0 into dst, stopping early
// only at end of file: the count read, or -1 (logged) on a read error.
ssize_t read_file_head(int file, char *dst, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = pread(file, dst + got, n - got, static_cast<off_t>(got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            icapd_log(LOG_L_ERROR, "error in reading data from temp file: %s\n", strerror(errno));
            return -1;
        }
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

// A body that goes out as one small chunk: read straight into the reply
// text, where what the file holds bounds what is announced. Returns the
// bytes sent, or -1 when the file could not be read.
long write_single_chunk(icap_entity &e, reply_text &out)
{
    size_t mark = out.text.size();
    out.text.resize(mark + e.size);
    ssize_t got = read_file_head(e.fd, &out.text[mark], e.size);
    out.text.resize(mark + (got > 0 ? static_cast<size_t>(got) : 0));
    if (got <= 0)
        return got;
    icapd_log(LOG_L_CHUNK, "http_write_chunk: got %i bytes from file\n", static_cast<int>(got));
    char line[32];
    snprintf(line, sizeof line, "%lx\r\n", static_cast<unsigned long>(got));
    out.text.insert(mark, line);
    out.text += "\r\n";
    icapd_log(LOG_L_CHUNK, "http_write_chunk: send next chunk; send=%u\n", static_cast<unsigned>(got));
    return got;
}

// Sends one body entity as chunks and the last chunk. Small chunks are
// copied into the reply text; large ones go with sendfile.
bool http_write_entities(icap_request &rq, int &fd, icap_entity &e, reply_text &out)
{
    icapd_log(LOG_L_FLOW, "icap_send_entities: sending %s (size=%u; fd=%i)\n", e.name.c_str(), e.size, fd);
    unsigned long max_block = g_config.MaxBlocksize > 0 ? g_config.MaxBlocksize : default_block;
    unsigned long block = e.size < max_block ? e.size : max_block;

    bool failed = false;
    unsigned long sent = 0;
    unsigned long total = 0;
    if (e.fd >= 0 && e.size > 0 && e.size <= ICAP_INLINE_CHUNK_MAX && e.size <= max_block) {
        long n = write_single_chunk(e, out);
        failed = n < 0;
        sent = total = n > 0 ? static_cast<unsigned long>(n) : 0;
    } else {
        // What the file really holds bounds what is announced.
        struct stat st;
        if (e.fd >= 0 && fstat(e.fd, &st) == 0)
            total = static_cast<unsigned long>(st.st_size) < e.size ? static_cast<unsigned long>(st.st_size) : e.size;
        else if (e.size > 0)
            icapd_log(LOG_L_ERROR, "error in reading data from temp file: %s\n", strerror(e.fd >= 0 ? errno : EBADF));
    }

    char line[32];
    while (!failed && sent < total) {
        unsigned long n = total - sent < block ? total - sent : block;
        // The log line's conversions are %i %x %s %u: the count fits an int.
        icapd_log(LOG_L_CHUNK, "http_write_chunk: got %i bytes from file\n", static_cast<int>(n));
        size_t mark = out.text.size();
        snprintf(line, sizeof line, "%lx\r\n", n);
        out.text += line;
        if (n <= ICAP_INLINE_CHUNK_MAX) {
            out.text.resize(out.text.size() + n);
            if (!read_file_at(e.fd, &out.text[out.text.size() - n], n, static_cast<off_t>(sent))) {
                out.text.resize(mark);
                failed = true;
                break;
            }
        } else if (!out.flush(fd)) {
            icapd_log(LOG_L_ERROR, "http_write_entities: error writing header!\n");
            failed = true;
            break;
        } else if (!send_file_range(fd, e.fd, static_cast<off_t>(sent), n)) {
            icapd_log(LOG_L_ERROR, "http_write_entities: error writing data!\n");
            failed = true;
            break;
        }
        sent += n;
        out.text += "\r\n";
        if (out.text.size() >= ICAP_REPLY_FLUSH && !out.flush(fd)) {
            icapd_log(LOG_L_ERROR, "http_write_entities: error writing data!\n");
            failed = true;
            break;
        }
        icapd_log(LOG_L_CHUNK, "http_write_chunk: send next chunk; send=%u\n", static_cast<unsigned>(sent));
    }
    if (!failed && sent < e.size)
        icapd_log(LOG_L_CHUNK, "http_write_chunk: wrong position!\n");

    if (failed) {
        icapd_log(LOG_L_ERROR, "icap_send_entities: was error in send chunk chain\n");
    } else {
        out.text += "0\r\n\r\n";
        icapd_log(LOG_L_FLOW, "icap_send_entities: send chunk chain by size = %u >>>>>>>>>>>>\n",
                  static_cast<unsigned>(sent));
    }
    icap_forget_temp_file(rq, e);
    return !failed;
}

// Appends the entities that go back to out (writing whenever it grows
// large). 200 when all of them went into the reply, else 0.
int send_entities_into(icap_request &rq, int &fd, reply_text &out)
{
    int rc = 200;
    for (icap_entity &e : rq.entities) {
        if (!icap_entity_sent_back(rq, e))
            continue;
        if (icap_is_header_entity(e)) {
            icapd_log(LOG_L_FLOW, "icap_send_entities: sending %s\n", e.name.c_str());
            icapd_log(LOG_L_TRACE, "icap_send_entities: dump header (size = %i):\n[%s]\n",
                      static_cast<int>(e.buffer.size()), e.buffer.c_str());
            out.text += e.buffer;
            if (out.text.size() >= ICAP_REPLY_FLUSH && !out.flush(fd))
                rc = 0;
        } else if (icap_is_body_entity(e)) {
            if (!http_write_entities(rq, fd, e, out))
                rc = 0;
        }
    }
    return rc;
}

// Holds partial segments back while a reply is written (TCP only).
void cork(int fd, bool on)
{
    if (fd < 0)
        return;
    int v = on ? 1 : 0;
    setsockopt(fd, IPPROTO_TCP, TCP_CORK, &v, sizeof v);
}

}  // namespace

int icap_send_entities(icap_request &rq, int &fd)
{
    reply_text out;
    int rc = send_entities_into(rq, fd, out);
    if (!out.flush(fd))
        rc = 0;
    return rc;
}

int icap_send_reply_200(icap_request &rq, int &fd)
{
    reply_text out;
    if (icap_compose_200_head(rq, out.head) != 200) {
        for (icap_entity &e : rq.entities)
            icap_forget_temp_file(rq, e);
        return 0;
    }
    out.text = out.head;
    out.head_pending = true;
    // Large bodies leave with sendfile between writes of the text around
    // them: corking keeps those pieces in full segments.
    bool large = false;
    for (const icap_entity &e : rq.entities)
        large = large || (icap_is_body_entity(e) && e.size > ICAP_INLINE_CHUNK_MAX);
    if (large)
        cork(fd, true);
    int rc = send_entities_into(rq, fd, out);
    if (!out.flush(fd))
        rc = 0;
    if (large)
        cork(fd, false);
    if (rc != 200) {
        // Part of the reply may be out: whatever followed it on this
        // connection would be read as the rest of it.
        io_drop(fd);
    }
    return rc;
}

int icap_make_report_header(icap_entity &hdr, icap_entity &body)
{
    char text[512];
    int n = snprintf(text, sizeof text,
                     "HTTP/1.1 200 OK\r\nVia: Tavex (R) icapd\r\nCache-Control: no-cache\r\n"
                     "Content-Type: text/html\r\nContent-Length: %u\r\n%s\r\n",
                     body.size, g_config.KeepAlive ? "" : "Connection: close\r\n");
    hdr.buffer.assign(text, static_cast<size_t>(n));
    hdr.size = static_cast<unsigned>(n);
    body.offset = hdr.size;
    return 200;
}

int icap_replace_all_entity_with_report(icap_request &rq, const char *tmpl)
{
    icap_entities_release(rq);
    icap_entity hdr, body;
    hdr.name = "res-hdr";
    body.name = "res-body";
    rq.entities.push_back(hdr);
    rq.entities.push_back(body);
    icap_entity &h = rq.entities[0];
    icap_entity &b = rq.entities[1];
    // Without a template the body stays empty and needs no file.
    icapd_log(LOG_L_FLOW, "icap_replace_all_entity_with_report: make new entities\n");
    if (tmpl) {
        // The block page explains itself through the report lines. No scan
        // ran: the daemon is not asked for what the page shows of it.
        rq.greport.clear();
        rq.greport.push_back("The content of this url was blocked by administrator");
        if (icap_build_page(rq, b, tmpl, false) != 200)
            return 0;
    }
    icap_make_report_header(h, b);
    snprintf(rq.reply_encapsulated, sizeof rq.reply_encapsulated, "res-hdr=0, res-body=%u", h.size);
    rq.infection_type = TVX_INFECTION_NOT_CHECKED;
    rq.infection_resolution = TVX_RESOLUTION_BLOCKED;
    rq.action_name = "Report";
    rq.response_desc = "url was blocked by administrator";
    return 200;
}
