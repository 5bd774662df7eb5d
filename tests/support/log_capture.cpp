// Log capture through a real log file, as the daemon writes it.
#include "support/log_capture.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "log/log.h"

log_capture::log_capture(unsigned mask) : old_mask_(log_level_mask())
{
    char tmpl[] = "/tmp/tvx-logcap-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(fd);
    path_ = tmpl;
    log_set_destination(path_);
    log_set_level_mask(mask);
}

log_capture::~log_capture()
{
    log_close();
    log_set_level_mask(old_mask_);
    unlink(path_.c_str());
}

std::string log_capture::text() const
{
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool log_capture::has(const std::string &message) const
{
    // File lines read "<time> tavex-icapd (<pid>): <LEVEL> <message>".
    std::string all = text();
    for (size_t at = all.find("): "); at != std::string::npos; at = all.find("): ", at + 1)) {
        size_t sp = all.find(' ', at + 3);
        if (sp != std::string::npos && all.compare(sp + 1, message.size(), message) == 0)
            return true;
    }
    return false;
}
