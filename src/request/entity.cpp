// Entity kinds and body temp files: creation with mkstemp, deletion, and
// the sweep of leftovers of killed processes. The sweep deletes only names of this pattern, only
// regular files of this user, and only when their process is gone.
#include "request/entity.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "log/log.h"
#include "log/process_id.h"

namespace {

// Entity names that hold bodies, the first part of a temp-file name.
const char *const body_names[] = {"req-body", "res-body"};
constexpr size_t temp_suffix_len = 6;  // mkstemp's XXXXXX

// The process id in a temp-file name: body name, decimal id, "-" and the
// six characters mkstemp chose. 0 when the name is not of that pattern.
pid_t temp_name_pid(const char *name)
{
    for (const char *body : body_names) {
        size_t n = strlen(body);
        if (strncmp(name, body, n) != 0)
            continue;
        const char *p = name + n;
        if (!isdigit(static_cast<unsigned char>(*p)))
            return 0;
        long pid = 0;
        for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
            pid = pid * 10 + (*p - '0');
            if (pid > 0x7fffffffL)
                return 0;
        }
        if (*p != '-' || strlen(p + 1) != temp_suffix_len)
            return 0;
        for (const char *q = p + 1; *q; ++q)
            if (!isalnum(static_cast<unsigned char>(*q)))
                return 0;
        return static_cast<pid_t>(pid);
    }
    return 0;
}

}  // namespace

bool icap_is_header_entity(const icap_entity &e) { return e.name == "req-hdr" || e.name == "res-hdr"; }

bool icap_is_body_entity(const icap_entity &e) { return e.name == "req-body" || e.name == "res-body"; }

bool icap_entity_sent_back(const icap_request &rq, const icap_entity &e)
{
    if (e.name == "req-hdr")
        return strcmp(rq.method, "REQMOD") == 0;
    return e.name == "res-hdr" || icap_is_body_entity(e) || e.name == "null-body";
}

std::string entity_temp_name(const std::string &dir, const icap_entity &e)
{
    return dir + e.name + std::to_string(tvx_process_id()) + "-XXXXXX";
}

int entity_temp_create(icap_request &rq, icap_entity &e, const std::string &dir, unsigned mode)
{
    icap_forget_temp_file(rq, e);
    std::string name = entity_temp_name(dir, e);
    std::vector<char> path(name.begin(), name.end());
    path.push_back('\0');
    int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return 0;
    if (fchmod(fd, mode & 07777) != 0) {
        int err = errno;
        unlink(path.data());
        close(fd);
        errno = err;
        return 0;
    }
    e.fd = fd;
    e.path = path.data();
    e.size = 0;
    icap_request_set_temp_file(rq, e.path);
    return 200;
}

void icap_forget_temp_file(icap_request &rq, icap_entity &e)
{
    if (!e.path.empty())
        unlink(e.path.c_str());
    entity_temp_disown(rq, e);
}

void entity_temp_disown(icap_request &rq, icap_entity &e)
{
    if (e.fd >= 0) {
        close(e.fd);
        e.fd = -1;
    }
    if (!e.path.empty()) {
        if (rq.current_temp_file == e.path)
            icap_request_set_temp_file(rq, std::string());
        e.path.clear();
    }
}

void icap_entities_release(icap_request &rq)
{
    for (icap_entity &e : rq.entities)
        icap_forget_temp_file(rq, e);
    rq.entities.clear();
}

int entity_temp_sweep(const std::string &dir)
{
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = dfd < 0 ? nullptr : fdopendir(dfd);
    if (!d) {
        icapd_log(LOG_L_ERROR, "Can`t open dir %s: %s\n", dir.c_str(), strerror(errno));
        if (dfd >= 0)
            close(dfd);
        return -1;
    }
    int removed = 0;
    const uid_t me = geteuid();
    while (struct dirent *ent = readdir(d)) {
        pid_t pid = temp_name_pid(ent->d_name);
        if (pid <= 0)
            continue;
        struct stat st;
        if (fstatat(dfd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || st.st_uid != me)
            continue;
        if (kill(pid, 0) == 0 || errno != ESRCH)
            continue;  // its process (or a process with its id) is alive
        if (unlinkat(dfd, ent->d_name, 0) == 0) {
            icapd_log(LOG_L_INFO, "Removed temp file %s%s of ended process %i\n", dir.c_str(), ent->d_name,
                      static_cast<int>(pid));
            ++removed;
        }
    }
    closedir(d);
    return removed;
}
