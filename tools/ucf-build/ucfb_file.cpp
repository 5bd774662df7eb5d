// Bounded whole-file reads and all-or-nothing file writes. Reads and writes
// in large blocks; never follows a size it has not checked against the
// caller's bound and never writes in place.
#include "ucfb_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ucfb_limits.h"

namespace {

std::string sys_error(const std::string &what, const std::string &path)
{
    return what + " " + path + ": " + strerror(errno);
}

std::string dir_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool write_all(int fd, const unsigned char *p, size_t len)
{
    while (len > 0) {
        ssize_t w = write(fd, p, len < UCFB_WRITE_CHUNK ? len : UCFB_WRITE_CHUNK);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        len -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

ucfb_rc ucfb_read_whole(const std::string &path, uint64_t max, std::vector<unsigned char> &out, uint64_t &size_seen,
                        std::string &err)
{
    out.clear();
    size_seen = 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = sys_error("cannot open", path);
        return UCFB_ERR_IO;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        err = sys_error("cannot read", path);
        close(fd);
        return UCFB_ERR_IO;
    }
    if (!S_ISREG(st.st_mode)) {
        err = path + " is not a regular file";
        close(fd);
        return UCFB_ERR_IO;
    }
    size_seen = static_cast<uint64_t>(st.st_size);
    if (size_seen > max) {
        err = path + " holds " + std::to_string(size_seen) + " bytes, more than " + std::to_string(max);
        close(fd);
        return UCFB_ERR_TOO_BIG;
    }
    out.resize(static_cast<size_t>(size_seen));
    size_t got = 0;
    while (got < out.size()) {
        ssize_t r = read(fd, out.data() + got, out.size() - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            err = sys_error("cannot read", path);
            close(fd);
            return UCFB_ERR_IO;
        }
        if (r == 0)
            break;  // the file shrank while read: keep what is there
        got += static_cast<size_t>(r);
    }
    out.resize(got);
    size_seen = got;
    close(fd);
    return UCFB_OK;
}

ucfb_rc ucfb_write_new(const std::string &path, const void *data, size_t len, mode_t mode, ucfb_replace how,
                       std::string &err)
{
    std::string dir = dir_of(path);
    std::string tmp = dir + "/.ucf-build.XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) {
        err = sys_error("cannot create a file in", dir);
        return UCFB_ERR_IO;
    }
    bool ok = fchmod(fd, mode) == 0 && write_all(fd, static_cast<const unsigned char *>(data), len) && fsync(fd) == 0;
    if (!ok)
        err = sys_error("cannot write", tmp);
    if (close(fd) != 0 && ok) {
        err = sys_error("cannot write", tmp);
        ok = false;
    }
    if (!ok) {
        unlink(tmp.c_str());
        return UCFB_ERR_IO;
    }
    ucfb_rc rc = UCFB_OK;
    if (how == UCFB_REPLACE) {
        if (rename(tmp.c_str(), path.c_str()) != 0) {
            err = sys_error("cannot rename " + tmp + " to", path);
            unlink(tmp.c_str());
            rc = UCFB_ERR_IO;
        }
    } else {
        // link(2) fails when the name is taken: an existing file is never replaced.
        if (link(tmp.c_str(), path.c_str()) != 0) {
            rc = errno == EEXIST ? UCFB_ERR_EXISTS : UCFB_ERR_IO;
            err = rc == UCFB_ERR_EXISTS ? path + " exists already; it is left as it is"
                                        : sys_error("cannot create", path);
        }
        unlink(tmp.c_str());
    }
    if (rc == UCFB_OK) {
        int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            fsync(dfd);
            close(dfd);
        }
    }
    return rc;
}
