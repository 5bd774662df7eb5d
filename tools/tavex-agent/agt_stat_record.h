// One statistics record as the daemon sends it, after its bounds were
// checked (agt_stat.cpp). Plain data: no reading, no writing.
#ifndef AGT_STAT_RECORD_H
#define AGT_STAT_RECORD_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct agt_stat_record {
    uint32_t kind = 0;                                     // AGT_STAT_KIND_PLAIN or AGT_STAT_KIND_URL
    std::string quarantine;                                // may be empty
    std::vector<std::pair<std::string, uint32_t>> threats; // name, type
    // Kind AGT_STAT_KIND_URL only:
    std::string url;
    std::vector<std::string> url_threats;                  // as many names as threats
};

#endif
