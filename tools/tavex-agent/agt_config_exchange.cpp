// The configuration exchange of the stand-in agent. A request whose fixed
// words or client name differ from the daemon's is closed unanswered, so that
// a daemon which sends the wrong bytes finds out at once.
#include "agt_config_exchange.h"

#include <cstdint>
#include <string>

#include "agt_json.h"
#include "agt_limits.h"
#include "agt_log.h"
#include "agt_proto.h"

// The answer up to and including the configuration length; faults that cut
// it short stop earlier.
static std::string agt_answer_head(const agt_settings &s, uint32_t config_length)
{
    std::string out;
    agt_put_u32(out, s.fail == AGT_FAIL_STATUS3 ? AGT_STATUS_FAILED : AGT_STATUS_OK);
    agt_put_u32(out, AGT_CONFIG_ANSWER_WORD);
    agt_put_u32(out, AGT_CONFIG_FREE_WORD);
    if (s.fail == AGT_FAIL_HUGE_BLOCK) {
        agt_put_u32(out, AGT_LENGTH_HUGE);
        return out;
    }
    agt_put_u32(out, 0);  // the block: nothing
    agt_put_u32(out, s.fail == AGT_FAIL_HUGE_CONFIG ? AGT_LENGTH_HUGE : config_length);
    return out;
}

int agt_config_exchange(agt_reader &r, int fd, const agt_settings &s)
{
    uint32_t a, b, name_length, pid;
    std::string name;
    int io = r.u32(a);
    if (io == AGT_IO_OK)
        io = r.u32(b);
    if (io != AGT_IO_OK) {
        agt_log("config: reading the request: %s; closing", agt_io_text(io));
        return AGT_EX_IO;
    }
    if (a != AGT_CONFIG_WORD_A || b != AGT_CONFIG_WORD_B) {
        agt_log("config: the request words are %u and %u, not %u and %u; closing", a, b, AGT_CONFIG_WORD_A,
                AGT_CONFIG_WORD_B);
        return AGT_EX_REFUSED;
    }
    io = r.text(name, AGT_TEXT_MAX, name_length);
    if (io == AGT_IO_TOO_LONG) {
        agt_log("config: a client name of %u bytes, more than %u; closing", name_length, AGT_TEXT_MAX);
        return AGT_EX_REFUSED;
    }
    if (io == AGT_IO_OK)
        io = r.u32(pid);
    if (io != AGT_IO_OK) {
        agt_log("config: reading the request: %s; closing", agt_io_text(io));
        return AGT_EX_IO;
    }
    if (name != AGT_CLIENT_NAME) {
        std::string shown;
        agt_json_string(shown, name.data(), name.size() < 200 ? name.size() : 200);
        agt_log("config: the client calls itself %s, not %s; closing", shown.c_str(), AGT_CLIENT_NAME);
        return AGT_EX_REFUSED;
    }

    // The text is at most AGT_CONFIG_MAX bytes, so its length fits the word.
    const std::string &text = s.config;
    const bool cut = s.fail == AGT_FAIL_CLOSE_MID;
    // An empty text is cut "in the middle" by announcing one byte and
    // sending none.
    std::string out = agt_answer_head(s, cut && text.empty() ? 1 : static_cast<uint32_t>(text.size()));
    const bool huge = s.fail == AGT_FAIL_HUGE_BLOCK || s.fail == AGT_FAIL_HUGE_CONFIG;
    if (!huge)
        out.append(text, 0, cut ? text.size() / 2 : text.size());
    io = agt_write_all(fd, out, agt_deadline_after(s.timeout_s));
    if (io != AGT_IO_OK) {
        agt_log("config: sending the answer to pid %u: %s", pid, agt_io_text(io));
        return AGT_EX_IO;
    }
    if (huge) {
        agt_log("config: announced a length of %u to pid %u (%s); holding the connection", AGT_LENGTH_HUGE, pid,
                agt_fail_name(s.fail));
        agt_hold_until_closed(fd);
    } else if (cut)
        agt_log("config: closed after %zu of %zu bytes to pid %u (close-mid)", text.size() / 2, text.size(), pid);
    else if (s.fail == AGT_FAIL_STATUS3)
        agt_log("config: answered status %u with %zu bytes to pid %u (status3)", AGT_STATUS_FAILED, text.size(), pid);
    else
        agt_log("config: served %zu bytes to pid %u", text.size(), pid);
    return AGT_EX_DONE;
}
