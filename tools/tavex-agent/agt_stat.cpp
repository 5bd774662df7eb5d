// The statistics exchange of the stand-in agent. Bounds, from agt_limits.h:
// each text at most AGT_TEXT_MAX bytes, at most AGT_COUNT_MAX threats, all
// texts of one record together at most AGT_RECORD_MAX bytes; each length or
// count is checked before anything of it is read or allocated.
#include "agt_stat.h"

#include <cerrno>
#include <cstring>

#include "agt_json.h"
#include "agt_limits.h"
#include "agt_log.h"
#include "agt_out.h"
#include "agt_proto.h"
#include "agt_stat_record.h"

namespace {

// Reads the fields of one record, adding up the bytes of its texts.
class agt_stat_reader {
public:
    explicit agt_stat_reader(agt_reader &r) : r_(r) {}

    int word(const char *what, uint32_t &value)
    {
        int io = r_.u32(value);
        if (io != AGT_IO_OK) {
            agt_log("stat: reading %s: %s; closing", what, agt_io_text(io));
            return AGT_EX_IO;
        }
        return AGT_EX_DONE;
    }

    int text(const char *what, std::string &out)
    {
        uint32_t len;
        int rc = word(what, len);
        if (rc != AGT_EX_DONE)
            return rc;
        if (len > AGT_TEXT_MAX) {
            agt_log("stat: %s of %u bytes, more than %u; closing", what, len, AGT_TEXT_MAX);
            return AGT_EX_REFUSED;
        }
        if (len > AGT_RECORD_MAX - total_) {
            agt_log("stat: %s of %u bytes takes the record past %zu bytes of text; closing", what, len,
                    AGT_RECORD_MAX);
            return AGT_EX_REFUSED;
        }
        total_ += len;
        out.resize(len);
        int io = len ? r_.bytes(&out[0], len) : AGT_IO_OK;
        if (io != AGT_IO_OK) {
            agt_log("stat: reading %s: %s; closing", what, agt_io_text(io));
            return AGT_EX_IO;
        }
        return AGT_EX_DONE;
    }

private:
    agt_reader &r_;
    size_t total_ = 0;
};

int agt_stat_read(agt_reader &r, agt_stat_record &rec)
{
    agt_stat_reader in(r);
    uint32_t n, mark, again;
    int rc = in.word("the kind", rec.kind);
    if (rc != AGT_EX_DONE)
        return rc;
    if (rec.kind != AGT_STAT_KIND_PLAIN && rec.kind != AGT_STAT_KIND_URL) {
        agt_log("stat: kind %u is neither %u nor %u; closing", rec.kind, AGT_STAT_KIND_PLAIN, AGT_STAT_KIND_URL);
        return AGT_EX_REFUSED;
    }
    if ((rc = in.text("the quarantine path", rec.quarantine)) != AGT_EX_DONE ||
        (rc = in.word("the threat count", n)) != AGT_EX_DONE)
        return rc;
    if (n > AGT_COUNT_MAX) {
        agt_log("stat: %u threats, more than %u; closing", n, AGT_COUNT_MAX);
        return AGT_EX_REFUSED;
    }
    rec.threats.resize(n);
    for (auto &t : rec.threats)
        if ((rc = in.text("a threat name", t.first)) != AGT_EX_DONE ||
            (rc = in.word("a threat type", t.second)) != AGT_EX_DONE)
            return rc;
    if (rec.kind != AGT_STAT_KIND_URL)
        return AGT_EX_DONE;

    if ((rc = in.word("the URL mark", mark)) != AGT_EX_DONE)
        return rc;
    if (mark != AGT_STAT_URL_MARK) {
        agt_log("stat: the URL part opens with %u, not %u; closing", mark, AGT_STAT_URL_MARK);
        return AGT_EX_REFUSED;
    }
    if ((rc = in.text("the URL", rec.url)) != AGT_EX_DONE ||
        (rc = in.word("the URL threat count", again)) != AGT_EX_DONE)
        return rc;
    if (again != n) {
        agt_log("stat: %u URL threat names for %u threats; closing", again, n);
        return AGT_EX_REFUSED;
    }
    rec.url_threats.resize(n);
    for (std::string &name : rec.url_threats)
        if ((rc = in.text("a URL threat name", name)) != AGT_EX_DONE)
            return rc;
    return AGT_EX_DONE;
}

}  // namespace

int agt_stat_exchange(agt_reader &r, int fd, const agt_settings &s)
{
    agt_stat_record rec;
    int rc = agt_stat_read(r, rec);
    if (rc != AGT_EX_DONE)
        return rc;

    // The line is out before the answer, so that whoever sees the answer
    // finds the record in the output.
    uint32_t answer = s.fail == AGT_FAIL_REJECT_STAT ? AGT_STAT_REJECTED : AGT_STAT_ACCEPTED;
    const char *note = s.fail == AGT_FAIL_REJECT_STAT ? ", rejected (reject-stat)" : "";
    if (agt_out_line(s.out_fd, agt_json_stat_line(rec)) != AGT_OUT_OK) {
        agt_log("stat: cannot write the record: %s; rejecting it", strerror(errno));
        answer = AGT_STAT_REJECTED;
        note = ", rejected (not written)";
    }
    std::string out;
    agt_put_u32(out, answer);
    int io = agt_write_all(fd, out, agt_deadline_after(s.timeout_s));
    if (io != AGT_IO_OK) {
        agt_log("stat: sending the answer: %s", agt_io_text(io));
        return AGT_EX_IO;
    }
    agt_log("stat: kind %u, %zu threats%s", rec.kind, rec.threats.size(), note);
    return AGT_EX_DONE;
}
