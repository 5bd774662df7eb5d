// One client connection of the stand-in scanning daemon. Reads commands until
// the client closes; a body sent whole is streamed to an unlinked temp file
// while it is scanned, never held in memory and never sized by the peer.
#include "tvd_session.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tvd_log.h"
#include "tvd_scan.h"
#include "tvd_verdict.h"
#include "tvd_wire.h"

namespace {

struct tvd_scan_request {
    uint32_t options = 0;
    bool whole = true;      // the body follows; otherwise path names a shared file
    std::string path;
    uint32_t data_len = 0;
};

// The object a scan judged: the unlinked temp file of a body sent whole, or
// the shared file at the request's path.
struct tvd_object {
    int fd = -1;
    bool writable = false;
    uint64_t size = 0;
    ~tvd_object()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct tvd_conn {
    int fd;
    const tvd_settings &cfg;
    std::vector<unsigned char> block;
};

const char *tvd_fault_name(int fault)
{
    switch (fault) {
    case TVD_FAULT_REFUSE: return "refuse";
    case TVD_FAULT_CLOSE_MID: return "close-mid-reply";
    case TVD_FAULT_STALL: return "stall";
    case TVD_FAULT_GARBAGE: return "garbage";
    }
    return "none";
}

// A verdict the daemon reaches without the signatures (skips and errors);
// a fixed code still overrides it.
tvd_verdict tvd_own_verdict(const tvd_settings &cfg, uint32_t code, const std::string &object,
                            const std::string &line)
{
    if (cfg.fixed_code_set)
        return tvd_judge(cfg.db, std::vector<bool>(), object, 0, &cfg.fixed_code);
    tvd_verdict v;
    v.code = code;
    v.lines.push_back(object + "\t" + line);
    return v;
}

// Reads the scan request up to the body. False: the connection must end.
bool tvd_read_scan_request(tvd_conn &c, tvd_scan_request &rq)
{
    uint32_t reserved, path_len;
    int t = c.cfg.timeout_ms;
    if (tvd_read_u32(c.fd, &rq.options, t) || tvd_read_u32(c.fd, &reserved, t) || tvd_read_u32(c.fd, &path_len, t))
        return false;
    if (path_len > TVD_MAX_PATH) {
        tvd_error("scan request with a path of %u bytes refused; closing", path_len);
        return false;
    }
    if (path_len) {
        rq.whole = false;
        rq.path.resize(path_len);
        if (tvd_read_full(c.fd, &rq.path[0], path_len, t))
            return false;
    }
    if (tvd_read_u32(c.fd, &rq.data_len, t))
        return false;
    if (!rq.whole && rq.data_len != 0) {
        tvd_error("scan request with both a path and %u bytes of data refused; closing", rq.data_len);
        return false;
    }
    return true;
}

// Receives a body sent whole into an unlinked temp file while scanning it.
// False: the connection broke.
bool tvd_receive_object(tvd_conn &c, const tvd_scan_request &rq, tvd_object &obj, tvd_verdict &v)
{
    const tvd_settings &cfg = c.cfg;
    const std::string &name = cfg.stream_name;
    if (rq.data_len == 0) {
        v = tvd_own_verdict(cfg, TVD_CODE_EMPTY, name, "the size of the file is equal to zero, skipped");
        return true;
    }
    if (rq.data_len > cfg.max_size) {
        tvd_note("object of %u bytes is larger than %llu, skipped", rq.data_len,
                 static_cast<unsigned long long>(cfg.max_size));
        if (tvd_drain(c.fd, rq.data_len, cfg.timeout_ms))
            return false;
        v = tvd_own_verdict(cfg, TVD_CODE_TOO_LARGE, name, "file too large, skipped");
        return true;
    }
    std::string tmpl = cfg.temp_dir + "/tavexd.XXXXXX";
    obj.fd = mkstemp(&tmpl[0]);
    if (obj.fd < 0) {
        int err = errno;
        tvd_error("cannot create a temp file in %s: %s", cfg.temp_dir.c_str(), strerror(err));
        if (tvd_drain(c.fd, rq.data_len, cfg.timeout_ms))
            return false;
        v = tvd_own_verdict(cfg, TVD_CODE_OPEN_ERROR, name, std::string("cannot open file with error: ") + strerror(err));
        return true;
    }
    unlink(tmpl.c_str());
    obj.writable = true;

    tvd_scanner scanner(cfg.db);
    bool write_failed = false;
    uint64_t left = rq.data_len;
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, c.block.size()));
        if (tvd_read_full(c.fd, c.block.data(), n, cfg.timeout_ms))
            return false;
        left -= n;
        if (!cfg.engine)
            scanner.feed(c.block.data(), n);
        size_t done = 0;
        while (!write_failed && done < n) {
            ssize_t w = write(obj.fd, c.block.data() + done, n - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                tvd_error("cannot write the temp file: %s", strerror(errno));
                write_failed = true;
                break;
            }
            done += static_cast<size_t>(w);
        }
    }
    scanner.finish();
    obj.size = rq.data_len;
    if (write_failed)
        v = tvd_own_verdict(cfg, TVD_CODE_WRITE_ERROR, name, "write error!");
    else if (cfg.engine)
        v = cfg.engine->scan(obj.fd, obj.size, name, rq.options);
    else
        v = tvd_judge(cfg.db, scanner.hits(), name, rq.options, cfg.fixed_code_set ? &cfg.fixed_code : nullptr);
    return true;
}

// Opens and scans the shared file a path-only request names.
void tvd_open_object(tvd_conn &c, const tvd_scan_request &rq, tvd_object &obj, tvd_verdict &v)
{
    const tvd_settings &cfg = c.cfg;
    const std::string &path = rq.path;
    if (memchr(path.data(), '\0', path.size())) {
        v = tvd_own_verdict(cfg, TVD_CODE_OPEN_ERROR, path, std::string("cannot open file with error: ") + strerror(EINVAL));
        return;
    }
    // Non-blocking so that a FIFO named by the client cannot hang the open.
    obj.fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    obj.writable = obj.fd >= 0;
    if (obj.fd < 0 && (errno == EACCES || errno == EROFS || errno == ETXTBSY || errno == EISDIR))
        obj.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (obj.fd < 0) {
        v = tvd_own_verdict(cfg, TVD_CODE_OPEN_ERROR, path, std::string("cannot open file with error: ") + strerror(errno));
        return;
    }
    struct stat st;
    if (fstat(obj.fd, &st) != 0) {
        v = tvd_own_verdict(cfg, TVD_CODE_OPEN_ERROR, path,
                            std::string("cannot get file attributes with error: ") + strerror(errno));
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        v = tvd_own_verdict(cfg, 0x4, path, "unknown file type, skipped");
        return;
    }
    obj.size = static_cast<uint64_t>(st.st_size);
    if (obj.size == 0) {
        v = tvd_own_verdict(cfg, TVD_CODE_EMPTY, path, "the size of the file is equal to zero, skipped");
        return;
    }
    if (obj.size > cfg.max_size) {
        v = tvd_own_verdict(cfg, TVD_CODE_TOO_LARGE, path, "file too large, skipped");
        return;
    }
    if (cfg.engine) {
        v = cfg.engine->scan(obj.fd, obj.size, path, rq.options);
        return;
    }
    tvd_scanner scanner(cfg.db);
    for (;;) {
        ssize_t n = read(obj.fd, c.block.data(), c.block.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            v = tvd_own_verdict(cfg, TVD_CODE_READ_ERROR, path, "read error!");
            return;
        }
        if (n == 0)
            break;
        scanner.feed(c.block.data(), static_cast<size_t>(n));
    }
    scanner.finish();
    obj.size = scanner.size();
    v = tvd_judge(cfg.db, scanner.hits(), path, rq.options, cfg.fixed_code_set ? &cfg.fixed_code : nullptr);
}

// Reader of an object file from its start, block by block.
tvd_reader tvd_file_reader(int fd, uint64_t &offset)
{
    offset = 0;
    return [fd, &offset](unsigned char *buf, size_t len) -> long {
        for (;;) {
            ssize_t n = pread(fd, buf, len, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0)
                offset += static_cast<uint64_t>(n);
            return static_cast<long>(n);
        }
    };
}

// Cures the shared file in place. False when it could not be rewritten.
bool tvd_cure_in_place(tvd_object &obj, const tvd_verdict &v)
{
    if (!obj.writable) {
        tvd_error("object is not writable; not cured");
        return false;
    }
    if (v.body == TVD_BODY_EMPTY)
        return ftruncate(obj.fd, 0) == 0;
    uint64_t roff, woff = 0, written = 0;
    tvd_reader rd = tvd_file_reader(obj.fd, roff);
    int fd = obj.fd;
    tvd_writer wr = [fd, &woff](const unsigned char *buf, size_t len) {
        while (len > 0) {
            ssize_t n = pwrite(fd, buf, len, static_cast<off_t>(woff));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            woff += static_cast<uint64_t>(n);
            buf += n;
            len -= static_cast<size_t>(n);
        }
        return true;
    };
    if (!tvd_cure_remove(v.remove, rd, wr, &written))
        return false;
    return ftruncate(obj.fd, static_cast<off_t>(written)) == 0;
}

std::string tvd_reply_head(const tvd_verdict &v)
{
    std::string head;
    tvd_put_u32(head, v.code);
    tvd_put_u32(head, static_cast<uint32_t>(v.names.size()));
    for (const std::string &n : v.names)
        tvd_put_text(head, n);
    tvd_put_u32(head, static_cast<uint32_t>(v.lines.size()));
    for (const std::string &l : v.lines)
        tvd_put_text(head, l);
    return head;
}

std::string tvd_garbage(uint32_t cmd)
{
    std::string g;
    if (cmd == TVD_CMD_SCAN)
        tvd_put_u32(g, 0x20);
    if (cmd != TVD_CMD_INFO)
        tvd_put_u32(g, 0xFFFFFFFFu);  // count
    tvd_put_u32(g, 0xFFFFFFF0u);      // length
    g += "garbage";
    return g;
}

// Answers a command the fault hits; the connection ends afterwards.
void tvd_fault_reply(tvd_conn &c, uint32_t cmd, const std::string &reply)
{
    tvd_note("fault %s on command %u", tvd_fault_name(c.cfg.fault), cmd);
    switch (c.cfg.fault) {
    case TVD_FAULT_CLOSE_MID: {
        size_t cut = reply.size() / 2;
        if (c.cfg.fault_bytes >= 0)
            cut = std::min(static_cast<size_t>(c.cfg.fault_bytes), reply.empty() ? 0 : reply.size() - 1);
        tvd_write_full(c.fd, reply.data(), cut, c.cfg.timeout_ms);
        break;
    }
    case TVD_FAULT_STALL:
        tvd_wait_for_close(c.fd);
        break;
    case TVD_FAULT_GARBAGE: {
        std::string g = tvd_garbage(cmd);
        tvd_write_full(c.fd, g.data(), g.size(), c.cfg.timeout_ms);
        break;
    }
    }
}

// Command 1. False: the connection ends (after an error, a fault, or a
// cured object sent back whole, which the client reads until end of stream).
bool tvd_cmd_scan(tvd_conn &c, bool faulted)
{
    const tvd_settings &cfg = c.cfg;
    tvd_scan_request rq;
    if (!tvd_read_scan_request(c, rq))
        return false;
    if (faulted && (cfg.fault == TVD_FAULT_STALL || cfg.fault == TVD_FAULT_GARBAGE)) {
        if (rq.whole && tvd_drain(c.fd, rq.data_len, cfg.timeout_ms))
            return false;
        tvd_fault_reply(c, TVD_CMD_SCAN, "");
        return false;
    }

    tvd_object obj;
    tvd_verdict v;
    if (rq.whole) {
        if (!tvd_receive_object(c, rq, obj, v))
            return false;
    } else {
        tvd_open_object(c, rq, obj, v);
    }
    const std::string &object = rq.whole ? cfg.stream_name : rq.path;
    tvd_note("scan of %s (%llu bytes, options %#x): code %#x, %zu threat(s)", object.c_str(),
             static_cast<unsigned long long>(obj.size), rq.options, v.code, v.names.size());

    bool cured = (v.code & TVD_CODE_CURED_OR_DELETED) != 0;
    if (cured && !rq.whole && v.body != TVD_BODY_KEEP && obj.fd >= 0 && !tvd_cure_in_place(obj, v)) {
        tvd_error("cannot cure %s in place: %s", rq.path.c_str(), strerror(errno));
        if (!cfg.fixed_code_set) {
            v.code = (v.code & ~TVD_CODE_CURED_OR_DELETED) | TVD_CODE_WRITE_ERROR;
            v.lines.push_back(rq.path + "\twrite error!");
        }
    }

    std::string head = tvd_reply_head(v);
    bool send_body = cured && rq.whole;
    uint64_t body_size = 0;
    if (send_body && obj.fd >= 0 && v.body != TVD_BODY_EMPTY) {
        body_size = obj.size;
        if (v.body == TVD_BODY_REMOVE) {
            uint64_t off;
            if (!tvd_cure_remove(v.remove, tvd_file_reader(obj.fd, off),
                                 [](const unsigned char *, size_t) { return true; }, &body_size))
                return false;
        }
    }
    if (send_body)
        tvd_put_u32(head, static_cast<uint32_t>(body_size));
    if (faulted) {
        tvd_fault_reply(c, TVD_CMD_SCAN, head);
        return false;
    }
    if (tvd_write_full(c.fd, head.data(), head.size(), cfg.timeout_ms))
        return false;
    if (!send_body)
        return true;

    if (body_size > 0) {
        uint64_t off;
        int fd = c.fd, t = cfg.timeout_ms;
        tvd_writer to_peer = [fd, t](const unsigned char *buf, size_t len) {
            return tvd_write_full(fd, buf, len, t) == TVD_IO_OK;
        };
        if (v.body == TVD_BODY_REMOVE) {
            tvd_cure_remove(v.remove, tvd_file_reader(obj.fd, off), to_peer, nullptr);
        } else {
            tvd_reader rd = tvd_file_reader(obj.fd, off);
            for (;;) {
                long n = rd(c.block.data(), c.block.size());
                if (n <= 0 || !to_peer(c.block.data(), static_cast<size_t>(n)))
                    break;
            }
        }
    }
    tvd_note("cured object of %llu bytes sent; closing", static_cast<unsigned long long>(body_size));
    return false;
}

std::string tvd_bases_reply(const tvd_settings &cfg)
{
    std::string r;
    const std::vector<std::pair<std::string, uint32_t>> bases = cfg.engine ? cfg.engine->bases() : cfg.bases;
    tvd_put_u32(r, static_cast<uint32_t>(bases.size()));
    for (const auto &b : bases) {
        tvd_put_text(r, b.first);
        tvd_put_u32(r, b.second);
    }
    return r;
}

} // namespace

void tvd_session_run(int fd, const tvd_settings &cfg)
{
    if (cfg.fault == TVD_FAULT_REFUSE && cfg.fault_on == 0) {
        tvd_note("fault refuse: closing the new connection");
        return;
    }
    if (!tvd_set_nonblocking(fd)) {
        tvd_error("cannot make the connection non-blocking: %s", strerror(errno));
        return;
    }
    tvd_conn c{fd, cfg, std::vector<unsigned char>(TVD_BLOCK)};
    for (;;) {
        uint32_t cmd;
        // Clients keep their connection for later commands: an idle one is
        // kept as long as the client wants unless --idle-timeout says otherwise.
        int r = tvd_read_u32(fd, &cmd, cfg.idle_ms);
        if (r == TVD_IO_TIMEOUT)
            tvd_note("connection idle too long; closing");
        if (r != TVD_IO_OK)
            return;
        bool faulted = cfg.fault != TVD_FAULT_NONE && (cfg.fault_on == 0 || cfg.fault_on == cmd);
        if (faulted && cfg.fault == TVD_FAULT_REFUSE) {
            tvd_note("fault refuse on command %u: closing", cmd);
            return;
        }
        std::string reply;
        switch (cmd) {
        case TVD_CMD_SCAN:
            if (!tvd_cmd_scan(c, faulted))
                return;
            continue;
        case TVD_CMD_BASES:
            reply = tvd_bases_reply(cfg);
            break;
        case TVD_CMD_INFO:
            tvd_put_text(reply, cfg.engine ? cfg.engine->info() : cfg.info);
            break;
        default:
            tvd_error("unknown command %u; closing", cmd);
            return;
        }
        if (faulted) {
            tvd_fault_reply(c, cmd, reply);
            return;
        }
        if (tvd_write_full(fd, reply.data(), reply.size(), cfg.timeout_ms))
            return;
    }
}
