// Per-request quarantine names. The URL becomes one file name inside the
// quarantine directory; a name that could denote the directory itself or
// its parent is reported unusable rather than handed to rename().
#include "request/quarantine.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

const std::string &quarantine_name(icap_request &rq, const quarantine_place &q)
{
    if (rq.quarantine_built)
        return rq.quarantine_full_name;
    std::string dir = q.dir;
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    if (dir.size() >= q.path_max)
        throw std::runtime_error("FileWithPath::trunc(): truncated file name will be too short");
    std::string file = rq.url;
    std::replace(file.begin(), file.end(), '/', '|');
    std::string full = dir + file;
    if (full.size() > q.path_max - 1)
        full.resize(q.path_max - 1);
    rq.quarantine_full_name = full;
    rq.quarantine_file_offset = dir.size();
    rq.quarantine_built = true;
    return rq.quarantine_full_name;
}

std::string quarantine_file_name(icap_request &rq, const quarantine_place &q)
{
    const std::string &full = quarantine_name(rq, q);
    return full.substr(rq.quarantine_file_offset);
}

int quarantine_name_check(icap_request &rq, const quarantine_place &q)
{
    std::string file = quarantine_file_name(rq, q);
    if (file.empty() || file == "." || file == "..")
        return EINVAL;
    if (file.size() > q.name_max)
        return ENAMETOOLONG;
    return 0;
}
