// Test helper: sends the daemon's log to a temporary file for the life of
// the object, with a chosen level mask, and reads back what was written.
#ifndef TVX_TESTS_SUPPORT_LOG_CAPTURE_H
#define TVX_TESTS_SUPPORT_LOG_CAPTURE_H

#include <string>

class log_capture {
public:
    explicit log_capture(unsigned mask = 0xFF);
    ~log_capture();
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;

    // Everything logged so far.
    std::string text() const;
    // True when some log line ends with the given message text.
    bool has(const std::string &message) const;

private:
    std::string path_;
    unsigned old_mask_;
};

#endif
