// Loading the category directory and asking the loaded files about a URL.
// Delivered updates are renamed into place before anything is loaded, so
// that each file is loaded once, in its newest form.
#include "policy/ucf_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include "log/log.h"
#include "policy/ucf_url.h"
#include "util/text.h"

namespace {

bool ends_with_nocase(const std::string &s, const char *suffix)
{
    size_t n = strlen(suffix);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

// Files the file by its type string; false when no category takes it.
bool file_under_category(ucf_categories &db, std::unique_ptr<UcfFile> &file)
{
    const std::string &type = file->type();
    const size_t wlen = strlen(UCF_WHITE_PREFIX);
    bool white = type.compare(0, wlen, UCF_WHITE_PREFIX) == 0;
    for (int i = 0; i < UCF_CATEGORY_COUNT; ++i) {
        const char *name = ucf_category_names[i];
        if (white && strcasecmp(type.c_str() + wlen, name) == 0) {
            db.category[i].white.push_back(std::move(file));
            return true;
        }
        if (strcasecmp(type.c_str(), name) == 0) {
            db.category[i].files.push_back(std::move(file));
            return true;
        }
    }
    return false;
}

// The directory's entries that are files to load, in directory order:
// ".ucf" files and the targets of ".cache" deliveries, each path once.
bool list_candidates(const std::string &dir, std::vector<std::string> &paths)
{
    DIR *d = opendir(dir.c_str());
    if (!d) {
        icapd_log(LOG_L_ERROR, "Can`t open directory %s for reading: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        dirent *e = readdir(d);
        if (!e) {
            if (errno)
                icapd_log(LOG_L_ERROR, "Error in reading entry from %s directory: %s\n", dir.c_str(), strerror(errno));
            break;
        }
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            names.push_back(e->d_name);
    }
    closedir(d);

    for (const std::string &name : names) {
        std::string path = dir + name;
        struct stat st;
        bool cache = ends_with_nocase(path, ".cache");
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || path.size() <= 4 ||
            !(cache || ends_with_nocase(path, ".ucf"))) {
            icapd_log(LOG_L_TRACE, "Skip %s\n", path.c_str());
            continue;
        }
        if (cache) {
            std::string target = path.substr(0, path.size() - 6);
            icapd_log(LOG_L_TRACE, "rename from %s to %s...\n", path.c_str(), target.c_str());
            // rename() replaces the old target in one step: a connection
            // process that still maps it keeps its pages.
            if (rename(path.c_str(), target.c_str()) != 0) {
                icapd_log(LOG_L_ERROR, "error in rename from %s to %s: %s\n", path.c_str(), target.c_str(),
                          strerror(errno));
                continue;
            }
            path = target;
        }
        if (std::find(paths.begin(), paths.end(), path) == paths.end())
            paths.push_back(path);
    }
    return true;
}

}  // namespace

void ucf_categories::clear()
{
    for (ucf_category &c : category) {
        c.files.clear();
        c.white.clear();
    }
}

size_t ucf_categories::file_count() const
{
    size_t n = 0;
    for (const ucf_category &c : category)
        n += c.files.size() + c.white.size();
    return n;
}

bool ucf_files_load(ucf_categories &db, const std::string &dir)
{
    db.clear();
    std::vector<std::string> paths;
    if (!list_candidates(dir, paths))
        return false;
    for (const std::string &path : paths) {
        std::unique_ptr<UcfFile> file = ucf_file_open(path);
        if (!file)
            continue;
        if (!file_under_category(db, file))
            icapd_log(LOG_L_WARN, "Unknown type %s in ucf file %s\n", file->type().c_str(), path.c_str());
    }
    return true;
}

bool ucf_files_is_blocked(const ucf_categories &db, const ucf_query &q, std::string &out)
{
    const char *url = q.url ? q.url : "";
    if (strncasecmp(url, "http://", 7) == 0)
        url += 7;
    else if (strncasecmp(url, "https://", 8) == 0)
        url += 8;

    char decoded[UCF_URL_MAX + 1];
    size_t len = tvx_url_decode(url, strnlen(url, UCF_URL_MAX), decoded, sizeof decoded);
    icapd_log(LOG_L_TRACE, "ucf_files_is_blocked: decoded url: '%s'\n", decoded);

    if (q.white_hosts && !q.white_hosts->empty()) {
        const char *h = decoded;
        if (strncasecmp(h, "http://", 7) == 0)
            h += 7;
        else if (strncasecmp(h, "https://", 8) == 0)
            h += 8;
        std::string host(h, strcspn(h, "/"));
        if (is_host_in_list(host.c_str(), *q.white_hosts)) {
            icapd_log(LOG_L_FLOW, "Skip checking [%s] host due to WhiteUcfFiles\n", url);
            return false;
        }
    }
    if (!db.file_count())
        return false;

    ParsedUrl parsed;
    parsed.parse(decoded, len);
    std::string matched;
    for (int i = 0; i < UCF_CATEGORY_COUNT; ++i) {
        const ucf_category &c = db.category[i];
        if (c.files.empty() && c.white.empty())
            continue;
        if (q.enabled && !q.enabled(i))
            continue;
        bool exempt = false;
        for (const auto &f : c.white) {
            if (f->match(decoded, parsed, matched)) {
                icapd_log(LOG_L_FLOW, "Skip check url:[%s] for ucf:[%s] due to white ucf files ( match_with:[%s] )\n",
                          url, ucf_category_names[i], matched.c_str());
                exempt = true;
                break;
            }
        }
        if (exempt)
            continue;
        for (const auto &f : c.files) {
            if (!f->match(decoded, parsed, matched))
                continue;
            if (q.client_ip && *q.client_ip)
                icapd_log(LOG_L_WARN, "url:[%s], match_with:[%s], client_ip:[%s], ucf:[%s]\n", url, matched.c_str(),
                          q.client_ip, ucf_category_names[i]);
            else
                icapd_log(LOG_L_WARN, "url:[%s], match_with:[%s], ucf:[%s]\n", url, matched.c_str(),
                          ucf_category_names[i]);
            out = matched;
            return true;
        }
    }
    return false;
}
