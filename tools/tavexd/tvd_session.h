// One client connection of the stand-in scanning daemon: commands 1 (scan),
// 3 (virus bases) and 4 (information), several per connection, and the fault
// modes that tests use to make the daemon misbehave on purpose.
#ifndef TVD_SESSION_H
#define TVD_SESSION_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <memory>

#include "tvd_engine.h"
#include "tvd_sigdb.h"

enum : uint32_t { TVD_CMD_SCAN = 1, TVD_CMD_BASES = 3, TVD_CMD_INFO = 4 };

enum tvd_fault {
    TVD_FAULT_NONE,
    TVD_FAULT_REFUSE,     // close at once, before anything is answered
    TVD_FAULT_CLOSE_MID,  // send part of the reply, then close
    TVD_FAULT_STALL,      // read the request, then never answer
    TVD_FAULT_GARBAGE,    // answer huge counts and lengths, then close
};

enum : size_t { TVD_MAX_PATH = 4096 };

struct tvd_settings {
    tvd_sigdb db;
    std::vector<std::pair<std::string, uint32_t>> bases;  // name and record count
    std::string info;
    std::string stream_name = "/stream";  // object name for a body sent whole
    uint64_t max_size = 100u << 20;        // larger objects are skipped
    std::string temp_dir = "/tmp";
    int timeout_ms = 60000;                // per wait inside a request; -1 without limit
    int idle_ms = -1;                      // wait for the next command; -1 without limit
    bool fixed_code_set = false;
    uint32_t fixed_code = 0;
    int fault = TVD_FAULT_NONE;
    uint32_t fault_on = 0;                 // command the fault hits; 0 every one
    long fault_bytes = -1;                 // close-mid-reply cut; -1 half the reply
    // An engine in place of the signature file (db); its bases and info
    // answer commands 3 and 4 instead of bases and info above.
    std::shared_ptr<tvd_engine> engine;
};

// Serves one connection until the client closes it, a fault or an error
// ends it, or a cured object was returned. Does not close fd.
void tvd_session_run(int fd, const tvd_settings &cfg);

#endif
