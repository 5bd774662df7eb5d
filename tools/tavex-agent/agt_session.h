// One connection of the stand-in agent, in its own process: reads the
// command word and hands the connection to the configuration exchange or the
// statistics record. Holds the settings every exchange reads; changes none.
#ifndef AGT_SESSION_H
#define AGT_SESSION_H

#include <string>

#include "agt_limits.h"

// --fail: how the agent misbehaves on purpose.
enum agt_fail_mode {
    AGT_FAIL_NONE = 0,
    AGT_FAIL_SILENT,       // every connection: accepted, read, never answered
    AGT_FAIL_STATUS3,      // configuration: the whole answer, with status 3
    AGT_FAIL_CLOSE_MID,    // configuration: cut in the middle of the text
    AGT_FAIL_HUGE_BLOCK,   // configuration: a block of 0xFFFFFFFF bytes announced, then nothing
    AGT_FAIL_HUGE_CONFIG,  // configuration: a text of 0xFFFFFFFF bytes announced, then nothing
    AGT_FAIL_REJECT_STAT,  // statistics: every record answered 0
};

// The mode named by --fail MODE, or -1.
int agt_fail_parse(const char *name);
const char *agt_fail_name(int mode);

struct agt_settings {
    std::string config;  // the text served, as last read
    int fail = AGT_FAIL_NONE;
    unsigned timeout_s = AGT_TIMEOUT_DEFAULT_S;
    int out_fd = 1;      // where statistics lines go (agt_out.h)
};

// How an exchange ended; the exchange has logged the reason of any failure.
enum agt_exchange_result {
    AGT_EX_DONE = 0,     // answered (or held, for a fault that stalls)
    AGT_EX_REFUSED = 1,  // a word out of place or a length past its bound: closed unanswered
    AGT_EX_IO = 2,       // the peer closed, failed or ran out of time
};

// Serves the accepted connection fd (non-blocking) to its end. Returns an
// agt_exchange_result; the caller closes fd.
int agt_session_run(int fd, const agt_settings &s);

#endif
