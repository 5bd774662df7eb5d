// tavexd's clamd engine: objects are judged by a running clamd, reached at
// an address in tavexd's own syntax. It owns no signatures and never
// cures; anything clamd did not answer in full is an error, never clean.
#ifndef TVD_CLAMD_H
#define TVD_CLAMD_H

#include <memory>
#include <string>

#include "tvd_engine.h"
#include "tvd_listen.h"

class tvd_clamd_engine : public tvd_engine {
public:
    // address: local:/path/clamd.ctl or inet:PORT@HOST; timeout_ms bounds
    // each wait on clamd (< 0: none).
    tvd_clamd_engine(const tvd_listener &address, int timeout_ms);

    tvd_verdict scan(int fd, uint64_t size, const std::string &object, uint32_t options) override;
    std::vector<std::pair<std::string, uint32_t>> bases() const override;
    std::string info() const override;
    // Asks clamd to reload its databases; the new engine talks to the same clamd.
    std::unique_ptr<tvd_engine> reload(std::string &error) const override;

private:
    // One command on a connection of its own; the reply, or false with error set.
    bool ask(const char *command, std::string &reply, std::string &error) const;

    tvd_listener address_;
    std::string where_;  // the address as given, for messages
    int timeout_ms_;
};

// The engine for an address word, or null with error set.
std::unique_ptr<tvd_engine> tvd_clamd_engine_make(const std::string &address, int timeout_ms, std::string &error);

// The verdict for one reply line of a clamd scan, for the object named object.
tvd_verdict tvd_clamd_verdict(const std::string &reply, const std::string &object);

#endif
