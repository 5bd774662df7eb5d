// A scanning engine behind the stand-in daemon, in place of its own
// signature file: it judges one object, open as a regular file, and tells
// what it has loaded. Engines are built and rebuilt by the listener only
// (at start and on SIGHUP); a connection process uses the engine it
// inherited at its fork and never changes it.
#ifndef TVD_ENGINE_H
#define TVD_ENGINE_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tvd_verdict.h"

class tvd_engine {
public:
    virtual ~tvd_engine() = default;

    // The verdict on the object open at fd (a regular file of size bytes,
    // positioned anywhere) named object in report lines, for the client's
    // scan option word. An object the engine could not scan whole (its
    // limits, an error, a format it cannot open) is never clean: its
    // verdict carries the daemon-error or archive-restriction bits.
    virtual tvd_verdict scan(int fd, uint64_t size, const std::string &object, uint32_t options) = 0;

    // Command 3: the databases loaded, each with its signature count.
    virtual std::vector<std::pair<std::string, uint32_t>> bases() const = 0;
    // Command 4: the engine's name and version.
    virtual std::string info() const = 0;

    // A new engine from the same sources (the databases as they are now),
    // or null with error set; the old one keeps serving either way.
    virtual std::unique_ptr<tvd_engine> reload(std::string &error) const = 0;
};

#endif
