// tavexd's clamd engine. Each scan opens its own connection to clamd (the
// descriptor over a Unix socket, the bytes over TCP) and turns the one reply
// line into a verdict; it never reports clean unless clamd said "OK".
#include "tvd_clamd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "tvd_clamd_wire.h"
#include "tvd_log.h"

namespace {

// Response-code bits of the verdicts clamd gives.
enum : uint32_t {
    TVD_CLAMD_CODE_INFECTED = 0x20,
    TVD_CLAMD_CODE_ERROR = 0x1,      // in the daemon-error mask: the object was not judged
    TVD_CLAMD_CODE_LIMIT = 0x40000,  // an archive restriction: judged in part only
};

const char tvd_limits_name[] = "Heuristics.Limits.Exceeded";

bool tvd_ends_with(const std::string &s, const char *tail)
{
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Report text from clamd made safe for one report line.
std::string tvd_clean_text(const std::string &s)
{
    std::string out(s, 0, 512);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return out;
}

tvd_verdict tvd_error_verdict(const std::string &object, const std::string &what)
{
    tvd_verdict v;
    v.code = TVD_CLAMD_CODE_ERROR;
    v.lines.push_back(object + "\tread error! clamd: " + tvd_clean_text(what));
    return v;
}

tvd_verdict tvd_limit_verdict(const std::string &object, const std::string &what)
{
    tvd_verdict v;
    v.code = TVD_CLAMD_CODE_LIMIT;
    v.lines.push_back(object + "\tnesting limit! clamd: " + tvd_clean_text(what));
    return v;
}

// A descriptor clamd can read: one opened write-only is opened again for
// reading (clamd answers OK for a descriptor it cannot read). -1 on failure.
int tvd_readable_fd(int fd, bool &opened)
{
    opened = false;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    if ((flags & O_ACCMODE) != O_WRONLY)
        return fd;
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    int rfd = open(proc.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    opened = rfd >= 0;
    return rfd;
}

} // namespace

tvd_verdict tvd_clamd_verdict(const std::string &reply, const std::string &object)
{
    // "<source>: OK", "<source>: NAME FOUND", "<text> ERROR".
    if (tvd_ends_with(reply, " ERROR")) {
        if (reply.find("size limit exceeded") != std::string::npos)
            return tvd_limit_verdict(object, reply);
        return tvd_error_verdict(object, reply);
    }
    size_t colon = reply.rfind(": ");
    if (colon == std::string::npos || colon == 0)
        return tvd_error_verdict(object, "unexpected reply: " + reply);
    std::string result = reply.substr(colon + 2);
    if (result == "OK") {
        tvd_verdict v;
        v.code = TVD_CODE_OK;
        v.lines.push_back(object + "\tOk");
        return v;
    }
    if (tvd_ends_with(result, " FOUND") && result.size() > 6) {
        std::string name = tvd_clean_text(result.substr(0, result.size() - 6));
        if (name.find_first_of(" \t") != std::string::npos || name.empty())
            return tvd_error_verdict(object, "unexpected reply: " + reply);
        if (name.compare(0, sizeof tvd_limits_name - 1, tvd_limits_name) == 0)
            return tvd_limit_verdict(object, name);
        tvd_verdict v;
        v.code = TVD_CLAMD_CODE_INFECTED;
        v.names.push_back(name + ",K");
        v.lines.push_back(object + "\tinfected with " + name);
        return v;
    }
    return tvd_error_verdict(object, "unexpected reply: " + reply);
}

tvd_clamd_engine::tvd_clamd_engine(const tvd_listener &address, int timeout_ms)
    : address_(address), where_(address.local ? "local:" + address.host : "inet:" + address.port + "@" + address.host),
      timeout_ms_(timeout_ms)
{
}

tvd_verdict tvd_clamd_engine::scan(int fd, uint64_t size, const std::string &object, uint32_t)
{
    int result;
    std::string error;
    int sock = tvd_clamd_connect(address_, timeout_ms_, result, error);
    if (sock < 0) {
        tvd_error("scan of %s: %s", object.c_str(), error.c_str());
        return tvd_error_verdict(object, error);
    }
    bool reopened = false;
    int rfd = -1;
    if (address_.local) {
        rfd = tvd_readable_fd(fd, reopened);
        if (rfd < 0) {
            error = std::string("cannot open the object for reading: ") + strerror(errno);
            result = TVD_CLAMD_IO_ERROR;
        } else {
            result = tvd_clamd_command(sock, "zFILDES", timeout_ms_);
            if (result == TVD_CLAMD_OK)
                result = tvd_clamd_send_fd(sock, rfd, timeout_ms_);
        }
    } else {
        result = tvd_clamd_command(sock, "zINSTREAM", timeout_ms_);
        if (result == TVD_CLAMD_OK)
            result = tvd_clamd_stream(sock, fd, size, timeout_ms_);
    }
    if (reopened)
        close(rfd);
    // clamd may stop reading to answer a size limit: its reply is read all the same.
    std::string reply;
    if (result == TVD_CLAMD_OK || result == TVD_CLAMD_SEND_CUT) {
        int sent = result;
        result = tvd_clamd_read_reply(sock, reply, timeout_ms_);
        if (result == TVD_CLAMD_CLOSED && sent == TVD_CLAMD_SEND_CUT)
            result = TVD_CLAMD_SEND_CUT;
    }
    close(sock);
    if (result != TVD_CLAMD_OK) {
        if (error.empty())
            error = tvd_clamd_result_text(result);
        tvd_error("scan of %s by clamd at %s: %s", object.c_str(), where_.c_str(), error.c_str());
        return tvd_error_verdict(object, error);
    }
    tvd_verdict v = tvd_clamd_verdict(reply, object);
    if (v.code & TVD_CLAMD_CODE_ERROR)
        tvd_error("scan of %s by clamd at %s: %s", object.c_str(), where_.c_str(), reply.c_str());
    return v;
}

bool tvd_clamd_engine::ask(const char *command, std::string &reply, std::string &error) const
{
    int result;
    int sock = tvd_clamd_connect(address_, timeout_ms_, result, error);
    if (sock < 0)
        return false;
    result = tvd_clamd_command(sock, command, timeout_ms_);
    if (result == TVD_CLAMD_OK)
        result = tvd_clamd_read_reply(sock, reply, timeout_ms_);
    close(sock);
    if (result != TVD_CLAMD_OK) {
        error = std::string(command + 1) + " at " + where_ + ": " + tvd_clamd_result_text(result);
        return false;
    }
    return true;
}

std::vector<std::pair<std::string, uint32_t>> tvd_clamd_engine::bases() const
{
    // clamd tells no signature count. One base stands for its databases:
    // counted by the daily database version when clamd has one (it changes
    // with each update), else 1, since clamd does not run without signatures.
    std::string reply, error;
    if (!ask("zVERSION", reply, error)) {
        tvd_error("virus bases: %s", error.c_str());
        return {};
    }
    uint32_t count = 1;
    size_t slash = reply.find('/');
    if (slash != std::string::npos) {
        unsigned long db = strtoul(reply.c_str() + slash + 1, nullptr, 10);
        if (db > 0 && db <= 0xFFFFFFFFul)
            count = static_cast<uint32_t>(db);
    }
    return {{"clamd", count}};
}

std::string tvd_clamd_engine::info() const
{
    std::string reply, error;
    if (!ask("zVERSION", reply, error)) {
        tvd_error("information: %s", error.c_str());
        return "clamd at " + where_ + " unavailable: " + error;
    }
    return tvd_clean_text(reply);
}

std::unique_ptr<tvd_engine> tvd_clamd_engine::reload(std::string &error) const
{
    std::string reply;
    if (!ask("zRELOAD", reply, error))
        return nullptr;
    if (reply != "RELOADING") {
        error = "clamd at " + where_ + " answered RELOAD with: " + tvd_clean_text(reply);
        return nullptr;
    }
    return std::unique_ptr<tvd_engine>(new tvd_clamd_engine(address_, timeout_ms_));
}

std::unique_ptr<tvd_engine> tvd_clamd_engine_make(const std::string &address, int timeout_ms, std::string &error)
{
    tvd_listener l;
    if (!tvd_listener_parse(address, l, error))
        return nullptr;
    return std::unique_ptr<tvd_engine>(new tvd_clamd_engine(l, timeout_ms));
}
