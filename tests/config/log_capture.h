// Test helper: sends log output to a temporary file for the life of the
// object and reads back what was written. Restores the closed destination
// and the default mask afterwards.
#ifndef TVX_TESTS_CONFIG_LOG_CAPTURE_H
#define TVX_TESTS_CONFIG_LOG_CAPTURE_H

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "log/log.h"

class log_capture {
public:
    explicit log_capture(unsigned mask = 0)
    {
        char tmpl[] = "/tmp/tvx-cfglog-XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd >= 0)
            close(fd);
        path_ = tmpl;
        log_set_destination(path_);
        log_set_level_mask(mask);
    }
    ~log_capture()
    {
        log_close();
        log_set_level_mask(1);
        unlink(path_.c_str());
    }
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;

    std::string text() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    std::string path_;
};

#endif
