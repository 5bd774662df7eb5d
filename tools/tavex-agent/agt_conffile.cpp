// Reads the configuration file the stand-in agent serves, in fixed blocks and
// bounded by AGT_CONFIG_MAX, into a fresh buffer that replaces the caller's
// text only once the whole file is in.
#include "agt_conffile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agt_limits.h"

bool agt_conffile_read(const std::string &path, std::string &text, std::string &error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        close(fd);
        return false;
    }
    // The size is read, not trusted: a file that grows while it is read
    // still stops at the bound.
    std::string fresh;
    char block[65536];
    for (;;) {
        ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (fresh.size() + static_cast<size_t>(n) > AGT_CONFIG_MAX) {
            error = path + ": longer than " + std::to_string(AGT_CONFIG_MAX) + " bytes";
            close(fd);
            return false;
        }
        fresh.append(block, static_cast<size_t>(n));
    }
    close(fd);
    text.swap(fresh);
    return true;
}
