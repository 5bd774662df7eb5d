// The scan request and its reply, byte for byte. Bodies travel in blocks
// of at most MaxBlocksize through one transfer buffer per process; counts
// and lengths from the daemon are bounded before anything is allocated; a
// broken exchange closes the daemon connection so that the next scan starts
// on a fresh one.
#include "scan/tvx_scan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "io/io.h"
#include "log/log.h"
#include "scan/scan_state.h"
#include "scan/tvx_action.h"
#include "scan/tvx_connect.h"
#include "scan/tvx_limits.h"
#include "scan/tvx_verdict.h"
#include "util/fd.h"

namespace {

// Smallest block worth receiving a cured body in.
constexpr size_t cure_block_min = 65536;

// The transfer buffer: grown to the largest block a scan of this process
// needed, never beyond MaxBlocksize, and kept for the next scan.
std::unique_ptr<char[]> g_transfer;
size_t g_transfer_size = 0;

// A buffer of min(want, MaxBlocksize) bytes or more (never more than
// MaxBlocksize); size receives its usable length. nullptr when memory ran out.
char *transfer_buffer(size_t want, size_t &size)
{
    size_t cap = g_config.MaxBlocksize > 0 ? static_cast<size_t>(g_config.MaxBlocksize) : 1;
    size_t need = std::max<size_t>(1, std::min(want, cap));
    if (g_transfer_size < need || g_transfer_size > cap) {
        g_transfer.reset();
        g_transfer_size = 0;
        g_transfer.reset(new (std::nothrow) char[need]);
        if (!g_transfer) {
            icapd_log(LOG_L_ERROR, "tvx_scan_file: can not allocate %u bytes\n", static_cast<unsigned>(need));
            return nullptr;
        }
        g_transfer_size = need;
    }
    size = g_transfer_size;
    return g_transfer.get();
}

void put_u32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

bool read_u32(int &fd, uint32_t &v) { return io_read_u32(v, fd) == 4; }

bool write_all(int &fd, const void *p, size_t n) { return io_write_all(fd, p, n) == static_cast<ssize_t>(n); }

// Reads len bytes of text, keeping what precedes the first zero byte.
bool read_text(int &fd, uint32_t len, std::string &text)
{
    text.assign(len, '\0');
    if (len > 0 && io_read_exact(fd, &text[0], len, false) != static_cast<ssize_t>(len))
        return false;
    text.resize(strnlen(text.c_str(), len));
    return true;
}

// Sends the whole file after the 20-byte head, read through the entity's
// descriptor from its start.
bool send_whole_file(const icap_entity &entity, const icap_request &rq, int &fd)
{
    int file = entity.fd;
    if (file < 0) {
        icapd_log(LOG_L_ERROR, "error in open %s: %s\n", entity.path.c_str(), strerror(EBADF));
        return false;
    }
    struct stat st;
    int err = fstat(file, &st) != 0 ? errno : 0;
    if (!err && static_cast<unsigned long long>(st.st_size) > UINT32_MAX)
        err = EFBIG;  // beyond what the data length can announce
    if (err) {
        icapd_log(LOG_L_ERROR, "error in reading %s: %s\n", entity.path.c_str(), strerror(err));
        return false;
    }
    size_t remaining = static_cast<size_t>(st.st_size);
    size_t bufsize = 0;
    char *buf = transfer_buffer(remaining, bufsize);
    if (!buf)
        return false;
    icapd_log(LOG_L_FLOW, "tvx_scan_file: url to be scanned (send all file) - %s (size %i)\n", rq.url,
              static_cast<int>(remaining));
    unsigned char head[20];
    put_u32(head, TAVEX_CMD_SCAN);
    put_u32(head + 4, g_config.scan_options);
    put_u32(head + 8, 0);
    put_u32(head + 12, 0);
    put_u32(head + 16, static_cast<uint32_t>(remaining));
    if (!write_all(fd, head, sizeof head))
        return false;
    off_t off = 0;
    while (remaining > 0) {
        ssize_t r = pread(file, buf, std::min(bufsize, remaining), off);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            icapd_log(LOG_L_ERROR, "error in reading %s: %s\n", entity.path.c_str(),
                      r < 0 ? strerror(errno) : "file ended before its size");
            return false;
        }
        if (!write_all(fd, buf, static_cast<size_t>(r)))
            return false;
        off += r;
        remaining -= static_cast<size_t>(r);
    }
    return true;
}

// Sends the 16-byte head, the path and a zero data length.
bool send_path(const icap_entity &entity, const icap_request &rq, int &fd)
{
    icapd_log(LOG_L_FLOW, "tvx_scan_file: url to be scanned (send only path) - %s\n", rq.url);
    unsigned char head[16];
    put_u32(head, TAVEX_CMD_SCAN);
    put_u32(head + 4, g_config.scan_options);
    put_u32(head + 8, 0);
    put_u32(head + 12, static_cast<uint32_t>(entity.path.size()));
    return write_all(fd, head, sizeof head) && write_all(fd, entity.path.data(), entity.path.size()) &&
           io_write_u32(fd, 0) == 4;
}

// Reads the threat names into the request; false on any failure (logged).
bool read_viruses(int &fd, uint32_t n, icap_request &rq, uint64_t &text_bytes)
{
    const char *error = nullptr;
    if (n > TVX_MAX_THREATS) {
        error = "too many virus names announced";
    } else {
        rq.viruses_list.clear();
        rq.viruses_list.reserve(n);
        for (uint32_t i = 0; i < n && !error; ++i) {
            uint32_t len = 0;
            VirusRecord rec;
            if (!read_u32(fd, len)) {
                error = "error reading size in safe_read()";
            } else if (len > TVX_MAX_THREAT_NAME || (text_bytes += len) > TVX_MAX_REPLY_TEXT) {
                error = "virus name too long";
            } else if (!read_text(fd, len, rec.name)) {
                error = "error reading virus name in safe_read()";
            } else {
                rec.type = tvx_virus_type(rec.name);
                rq.viruses_list.push_back(std::move(rec));
            }
        }
    }
    if (error) {
        icapd_log(LOG_L_ERROR, "tvx_scan_file: error while reading viruses list: %s\n", error);
        return false;
    }
    return true;
}

// Reads the report lines into the request; false on any failure.
bool read_report(int &fd, icap_request &rq, uint64_t &text_bytes)
{
    uint32_t m = 0;
    if (!read_u32(fd, m))
        return false;
    if (m > TVX_MAX_REPORT_LINES) {
        icapd_log(LOG_L_ERROR, "tvx_scan_file: daemon announced %u report lines (limit %u)\n", m,
                  TVX_MAX_REPORT_LINES);
        return false;
    }
    rq.greport.clear();
    for (uint32_t i = 0; i < m; ++i) {
        uint32_t len = 0;
        if (!read_u32(fd, len))
            return false;
        if (len > TVX_MAX_REPORT_LINE || (text_bytes += len) > TVX_MAX_REPLY_TEXT) {
            icapd_log(LOG_L_ERROR, "tvx_scan_file: daemon announced a report line of %u bytes (limit %u)\n",
                      len, TVX_MAX_REPORT_LINE);
            return false;
        }
        std::string line;
        if (!read_text(fd, len, line))
            return false;
        icapd_log(LOG_L_FLOW, "tvx_scan_file: log >>> %s\n", line.c_str());
        rq.greport.push_back(std::move(line));
    }
    return true;
}

// Replaces the entity file's contents by the cured body, read to the end
// of the stream, through the entity's descriptor. The daemon closes the
// connection after it; so does the caller.
bool read_cured_body(int &fd, const icap_entity &entity)
{
    uint32_t cured_size = 0;
    if (!read_u32(fd, cured_size))
        return false;
    icapd_log(LOG_L_FLOW, "tvx_scan_file: get modify file from daemon socket (size=%i)\n",
              static_cast<int>(cured_size));
    int file = entity.fd;
    if (file < 0 || ftruncate(file, 0) != 0 || lseek(file, 0, SEEK_SET) != 0) {
        icapd_log(LOG_L_ERROR, "error in open %s: %s\n", entity.path.c_str(), strerror(file < 0 ? EBADF : errno));
        return false;
    }
    size_t bufsize = 0;
    char *buf = transfer_buffer(std::max<size_t>(cured_size, cure_block_min), bufsize);
    uint64_t total = 0;
    bool ok = buf != nullptr;
    while (ok) {
        ssize_t r = io_read_exact(fd, buf, bufsize, false);
        if (r < 0) {
            ok = false;
            break;
        }
        total += static_cast<uint64_t>(r);
        if (total > TVX_MAX_CURED_BODY) {
            icapd_log(LOG_L_ERROR, "error in writing to %s: %s\n", entity.path.c_str(), strerror(EFBIG));
            ok = false;
        } else if (!fd_write_all(file, buf, static_cast<size_t>(r))) {
            icapd_log(LOG_L_ERROR, "error in writing to %s: %s\n", entity.path.c_str(), strerror(errno));
            ok = false;
        } else if (static_cast<size_t>(r) < bufsize) {
            break;  // the daemon closed the connection: the body is complete
        }
    }
    return ok;
}

std::string joined_names(const std::vector<VirusRecord> &list)
{
    std::string s;
    for (size_t i = 0; i < list.size(); ++i) {
        if (i)
            s += ", \n\t";
        s += list[i].name;
    }
    return s;
}

}  // namespace

int tvx_virus_type(std::string &name)
{
    size_t n = name.size();
    if (n >= 3 && name[n - 2] == ',') {
        int type = 0;
        switch (name[n - 1]) {
        case 'K': type = 1; break;
        case 'M': type = 2; break;
        case 'S': type = 3; break;
        case 'A': type = 12; break;
        case 'D': type = 13; break;
        case 'J': type = 14; break;
        case 'R': type = 15; break;
        case 'H': type = 16; break;
        default: break;
        }
        if (type) {
            name.resize(n - 2);
            return type;
        }
        icapd_log(LOG_L_HEADERS, "wrong virus type at %s\n", name.c_str());
        return 0;
    }
    icapd_log(LOG_L_HEADERS, "cannot determine virus type at %s\n", name.c_str());
    return 0;
}

tvx_action tvx_scan_file(icap_entity &entity, icap_request &rq, int &fd)
{
    if (entity.size == 0) {
        icapd_log(LOG_L_FLOW, "tvx_scan_file:file is empty, skip\n");
        return tvx_action();
    }
    uint32_t code = 0;
    uint32_t n = 0;
    uint64_t text_bytes = 0;
    bool whole_file;
    tvx_action result;
    // Report lines name this file; the reply headers show it by the URL.
    rq.scanned_path = entity.path;

    if (fd < 0) {
        fd = tvx_connect(g_config.tavex_addresses, true, true);
        if (fd < 0)
            goto daemon_error;
    }
    // The connect above may have switched local scanning off.
    whole_file = g_tvx.local_scan == -1 ? !g_config.LocalScan : g_tvx.local_scan == 0;
    if (!(whole_file ? send_whole_file(entity, rq, fd) : send_path(entity, rq, fd)))
        goto broken;

    if (!read_u32(fd, code))
        goto broken;
    g_tvx.last_response_code = code;
    icapd_log(LOG_L_FLOW, "tvx_scan_file: response code - %x\n", code);

    if (!read_u32(fd, n))
        goto broken;
    if (n > 0) {
        if (!read_viruses(fd, n, rq, text_bytes))
            goto broken;
        std::string names = joined_names(rq.viruses_list);
        int kib = static_cast<int>(entity.size / 1024 + 1);
        if (rq.client_ip[0])
            icapd_log(LOG_L_WARN, "url:[%s], client_ip:[%s], code=%x, size=%ik, viruses:[%s]\n", rq.url,
                      rq.client_ip, code, kib, names.c_str());
        else
            icapd_log(LOG_L_WARN, "url:[%s], code=%x, size=%ik, viruses:[%s]\n", rq.url, code, kib,
                      names.c_str());
    }
    if (!read_report(fd, rq, text_bytes))
        goto broken;

    if ((code & TVX_CODE_CURED_OR_DELETED) && whole_file) {
        bool ok = read_cured_body(fd, entity);
        // The cured body ends with the end of the stream: this connection
        // is spent either way.
        close_fd(fd);
        if (!ok)
            goto daemon_error;
    }

    result = tvx_apply_verdict(code, entity, rq);
    if (result.result == TVX_RES_CLEAN && (code & TVX_CODE_CURED_OR_DELETED)) {
        // The daemon rewrote the object although no threat row applies: the
        // body has changed and must be sent with its new size.
        result.result = tvx_pass_file(entity);
        if (result.result == TVX_RES_FAILED)
            goto daemon_error;
    }
    return result;

broken:
    // The exchange broke off: what is left on this connection cannot be
    // told from the reply to a later command.
    close_fd(fd);
daemon_error:
    result = tvx_apply_verdict(TVX_CODE_DAEMON_ERROR, entity, rq);
    result.fallback = true;
    return result;
}
