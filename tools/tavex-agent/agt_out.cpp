// The statistics output of the stand-in agent: opened once by the listener,
// inherited by every connection process, written one line at a time.
#include "agt_out.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int agt_out_open(const std::string &path, std::string &error)
{
    if (path.empty())
        return STDOUT_FILENO;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0)
        error = path + ": " + strerror(errno);
    return fd;
}

int agt_out_line(int fd, const std::string &line)
{
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return AGT_OUT_FAILED;
        }
        done += static_cast<size_t>(n);
    }
    return AGT_OUT_OK;
}
