// Reply entities on the wire. Bodies are sent with sendfile from their temp
// files (a bounded copy loop where the kernel cannot), their chunk-size
// lines with the line break that ends the previous chunk; the reply is
// corked so headers, size lines and data leave in full segments.
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
#include "icap/receive.h"
#include "icap/reply.h"
#include "io/io.h"
#include "log/log.h"
#include "report/template.h"

namespace {

constexpr unsigned long default_block = 10485760;

int wait_seconds() { return io_timeout() < 1 ? -1 : io_timeout(); }

// Sends n bytes of the file from off through a bounded buffer (for
// descriptors sendfile cannot serve).
bool copy_file_range_to(int &fd, int file, off_t off, size_t n)
{
    static char block[ICAP_BODY_BLOCK];
    while (n > 0) {
        size_t want = n < sizeof block ? n : sizeof block;
        ssize_t r = pread(file, block, want, off);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            icapd_log(LOG_L_ERROR, "error in reading data from temp file: %s\n", r < 0 ? strerror(errno) : "end of file");
            return false;
        }
        if (io_write_all(fd, block, static_cast<size_t>(r)) != r)
            return false;
        off += r;
        n -= static_cast<size_t>(r);
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
        icap_drop_connection(fd);
        return false;
    }
    return true;
}

bool send_text(int &fd, const std::string &text)
{
    return io_write_all(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Sends one body entity as chunks and the last chunk.
bool http_write_entities(icap_request &rq, int &fd, icap_entity &e)
{
    icapd_log(LOG_L_FLOW, "icap_send_entities: sending %s (size=%u; fd=%i)\n", e.name.c_str(), e.size, fd);
    unsigned long max_block = g_config.MaxBlocksize > 0 ? g_config.MaxBlocksize : default_block;
    unsigned long block = e.size < max_block ? e.size : max_block;

    // What the file really holds bounds what is announced.
    unsigned long total = 0;
    struct stat st;
    if (e.fd >= 0 && fstat(e.fd, &st) == 0)
        total = static_cast<unsigned long>(st.st_size) < e.size ? static_cast<unsigned long>(st.st_size) : e.size;
    else if (e.size > 0)
        icapd_log(LOG_L_ERROR, "error in reading data from temp file: %s\n", strerror(e.fd >= 0 ? errno : EBADF));

    bool failed = false;
    unsigned long sent = 0;
    std::string prefix;  // text that goes out before the next data
    char line[32];
    while (sent < total) {
        unsigned long n = total - sent < block ? total - sent : block;
        icapd_log(LOG_L_CHUNK, "http_write_chunk: got %li bytes from file\n", static_cast<long>(n));
        snprintf(line, sizeof line, "%lx\r\n", n);
        prefix += line;
        if (!send_text(fd, prefix)) {
            icapd_log(LOG_L_ERROR, "http_write_entities: error writing header!\n");
            failed = true;
            break;
        }
        if (!send_file_range(fd, e.fd, static_cast<off_t>(sent), n)) {
            icapd_log(LOG_L_ERROR, "http_write_entities: error writing data!\n");
            failed = true;
            break;
        }
        sent += n;
        prefix = "\r\n";
        icapd_log(LOG_L_CHUNK, "http_write_chunk: send next chunk; send=%u\n", static_cast<unsigned>(sent));
    }
    if (!failed && total < e.size)
        icapd_log(LOG_L_CHUNK, "http_write_chunk: wrong position!\n");

    if (failed) {
        icapd_log(LOG_L_ERROR, "icap_send_entities: was error in send chunk chain\n");
    } else {
        prefix += "0\r\n\r\n";
        if (!send_text(fd, prefix))
            failed = true;
        icapd_log(LOG_L_FLOW, "icap_send_entities: send chunk chain by size = %u >>>>>>>>>>>>\n",
                  static_cast<unsigned>(sent));
    }
    icap_forget_temp_file(rq, e);
    return !failed;
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

bool icap_is_header_entity(const icap_entity &e) { return e.name == "req-hdr" || e.name == "res-hdr"; }

bool icap_is_body_entity(const icap_entity &e) { return e.name == "req-body" || e.name == "res-body"; }

bool icap_entity_sent_back(const icap_request &rq, const icap_entity &e)
{
    if (e.name == "req-hdr")
        return strcmp(rq.method, "REQMOD") == 0;
    return e.name == "res-hdr" || icap_is_body_entity(e) || e.name == "null-body";
}

void icap_forget_temp_file(icap_request &rq, icap_entity &e)
{
    if (e.fd >= 0) {
        close(e.fd);
        e.fd = -1;
    }
    if (!e.path.empty()) {
        unlink(e.path.c_str());
        if (rq.current_temp_file == e.path)
            rq.current_temp_file.clear();
        e.path.clear();
    }
}

int icap_send_entities(icap_request &rq, int &fd)
{
    int rc = 200;
    for (icap_entity &e : rq.entities) {
        if (!icap_entity_sent_back(rq, e))
            continue;
        if (icap_is_header_entity(e)) {
            icapd_log(LOG_L_FLOW, "icap_send_entities: sending %s\n", e.name.c_str());
            icapd_log(LOG_L_TRACE, "icap_send_entities: dump header (size = %i):\n[%s]\n",
                      static_cast<int>(e.buffer.size()), e.buffer.c_str());
            if (!send_text(fd, e.buffer))
                rc = 0;
        } else if (icap_is_body_entity(e)) {
            if (!http_write_entities(rq, fd, e))
                rc = 0;
        }
    }
    return rc;
}

int icap_send_reply_200(icap_request &rq, int &fd)
{
    cork(fd, true);
    int rc = icap_send_200_head(fd, rq) == 200 && icap_send_entities(rq, fd) == 200 ? 200 : 0;
    cork(fd, false);
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
    if (creat_tmp_file(rq, b) != 200)
        return 0;
    icapd_log(LOG_L_FLOW, "icap_replace_all_entity_with_report: make new entities\n");
    if (tmpl) {
        // The block page explains itself through the report lines.
        greport.clear();
        greport.push_back("The content of this url was blocked by administrator");
        if (make_report_page(rq, b, tmpl, nullptr, false) != 200)
            return 0;
    }
    icap_make_report_header(h, b);
    snprintf(rq.reply_encapsulated, sizeof rq.reply_encapsulated, "res-hdr=0, res-body=%u", h.size);
    rq.infection_type = 2;
    rq.infection_resolution = 2;
    rq.action_name = "Report";
    rq.response_desc = "url was blocked by administrator";
    return 200;
}
