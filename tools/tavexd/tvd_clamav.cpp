// The libclamav engine: loads and compiles a database directory in the
// listener, scans an open object in a connection process with a scratch
// directory of its own, and words the outcome as the daemon's verdict.
// It never reports clean for a limit, an error or a layer it could not open.
#include "tvd_clamav.h"

#include <algorithm>
#include <cerrno>
#include <clamav.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tvd_log.h"

namespace {

// Bits the engine answers besides the clean and threat bits. The archive
// bits (0x46000) and the daemon-error bits (0x8017) are the classes the
// client maps to its configured actions.
enum : uint32_t {
    TVD_CL_INFECTED = 0x20,
    TVD_CL_SUSPICIOUS = 0x40,
    TVD_CL_NO_MEMORY = 0x4,
    TVD_CL_ENCRYPTED = 0x200,
    TVD_CL_NESTING = 0x2000,      // recursion depth
    TVD_CL_TOO_MANY = 0x4000,     // member count
    TVD_CL_LIMIT = 0x40000,       // sizes, time, a layer that cannot be unpacked
    TVD_CL_DECOMPRESSION = 0x8000,
};

// Members named in report lines are bounded; so are the matches kept.
const size_t tvd_cl_max_depth = 64;
const size_t tvd_cl_max_found = 32;
const size_t tvd_cl_max_member = 1024;

struct tvd_cl_limit_name {
    const char *name;
    int field;
    uint64_t max;
};

const tvd_cl_limit_name tvd_cl_limit_names[] = {
    {"max-filesize", CL_ENGINE_MAX_FILESIZE, 0xFFFFFFFFull},
    {"max-scansize", CL_ENGINE_MAX_SCANSIZE, 0xFFFFFFFFull},
    {"max-files", CL_ENGINE_MAX_FILES, 1000000},
    {"max-recursion", CL_ENGINE_MAX_RECURSION, 1000},
    {"max-scantime", CL_ENGINE_MAX_SCANTIME, 3600000},  // milliseconds
};

// What the callbacks learn during one scan: the name of each open layer by
// depth, and the matches with the member they were in.
struct tvd_cl_layer {
    std::string name;
    bool rar = false;
    bool has_child = false;
};

struct tvd_cl_scan {
    std::vector<tvd_cl_layer> layers;
    size_t depth = 0;
    bool unopened = false;  // a container libclamav could not look into
    std::vector<std::pair<std::string, std::string>> found;  // member, threat name
};

cl_error_t tvd_cl_on_inspect(int, const char *type, const char **, size_t, const char *file_name, size_t,
                             const char *, uint32_t level, uint32_t, void *context)
{
    tvd_cl_scan *s = static_cast<tvd_cl_scan *>(context);
    if (!s || level >= tvd_cl_max_depth)
        return CL_CLEAN;
    if (level > 0 && level - 1 < s->layers.size())
        s->layers[level - 1].has_child = true;
    s->layers.resize(level + 1);
    tvd_cl_layer &l = s->layers[level];
    l.name = file_name && level > 0 ? std::string(file_name).substr(0, tvd_cl_max_member) : std::string();
    l.rar = type && !strcmp(type, "CL_TYPE_RAR");
    l.has_child = false;
    s->depth = level;
    return CL_CLEAN;
}

cl_error_t tvd_cl_on_post_scan(int, int, const char *, void *context)
{
    tvd_cl_scan *s = static_cast<tvd_cl_scan *>(context);
    if (!s || s->depth >= s->layers.size())
        return CL_CLEAN;
    const tvd_cl_layer &l = s->layers[s->depth];
    // Debian's libclamav has no unrar: a RAR archive is passed over whole,
    // its members unseen.
    if (l.rar && !l.has_child)
        s->unopened = true;
    if (s->depth > 0)
        --s->depth;
    return CL_CLEAN;
}

void tvd_cl_on_virus(int, const char *virname, void *context)
{
    tvd_cl_scan *s = static_cast<tvd_cl_scan *>(context);
    if (!s || s->found.size() >= tvd_cl_max_found)
        return;
    std::string member;
    for (size_t i = 1; i <= s->depth && i < s->layers.size(); ++i) {
        if (s->layers[i].name.empty())
            continue;
        if (!member.empty())
            member += "/";
        member += s->layers[i].name;
    }
    std::pair<std::string, std::string> hit(member, virname ? virname : "Heuristics.Limits.Exceeded");
    if (std::find(s->found.begin(), s->found.end(), hit) == s->found.end())
        s->found.push_back(hit);
}

int tvd_cl_remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    if (remove(path) != 0)
        tvd_error("cannot remove %s: %s", path, strerror(errno));
    return 0;
}

void tvd_cl_remove_tree(const std::string &dir)
{
    nftw(dir.c_str(), tvd_cl_remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void tvd_cl_add(tvd_verdict &v, uint32_t bit, const std::string &line)
{
    v.code |= bit;
    if (std::find(v.lines.begin(), v.lines.end(), line) == v.lines.end())
        v.lines.push_back(line);
}

bool tvd_cl_starts(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// One match reported by libclamav, in the member it was found in.
void tvd_cl_judge_match(tvd_verdict &v, const std::string &object, const std::string &member,
                        const std::string &name)
{
    std::string where = member.empty() ? object : object + "/" + member;
    if (tvd_cl_starts(name, "Heuristics.Limits.Exceeded")) {
        uint32_t bit = TVD_CL_LIMIT;
        if (name.find("MaxRecursion") != std::string::npos)
            bit = TVD_CL_NESTING;
        else if (name.find("MaxFiles") != std::string::npos)
            bit = TVD_CL_TOO_MANY;
        tvd_error("%s: not scanned whole (%s)", where.c_str(), name.c_str());
        tvd_cl_add(v, bit, where + "\tnesting limit!");
        return;
    }
    if (tvd_cl_starts(name, "Heuristics.Encrypted")) {
        tvd_cl_add(v, TVD_CL_ENCRYPTED, where + "\tpassword protected, skipped");
        return;
    }
    bool heuristic = tvd_cl_starts(name, "Heuristics.");
    std::string sent = name + (heuristic ? ",S" : ",K");
    if (std::find(v.names.begin(), v.names.end(), sent) == v.names.end())
        v.names.push_back(sent);
    tvd_cl_add(v, heuristic ? TVD_CL_SUSPICIOUS : TVD_CL_INFECTED,
               where + (heuristic ? "\tprobably infected with " : "\tinfected with ") + name);
}

// A scan that libclamav ended with an error: never clean.
void tvd_cl_judge_error(tvd_verdict &v, const std::string &object, cl_error_t ret)
{
    const char *what = cl_strerror(ret);
    tvd_error("scan of %s failed: %s", object.c_str(), what);
    switch (ret) {
    case CL_EMAXREC: tvd_cl_add(v, TVD_CL_NESTING, object + "\tnesting limit!"); break;
    case CL_EMAXFILES: tvd_cl_add(v, TVD_CL_TOO_MANY, object + "\tnesting limit!"); break;
    case CL_EMAXSIZE:
    case CL_ETIMEOUT: tvd_cl_add(v, TVD_CL_LIMIT, object + "\tnesting limit!"); break;
    case CL_EMEM: tvd_cl_add(v, TVD_CL_NO_MEMORY, object + "\tno memory"); break;
    case CL_EREAD:
    case CL_ESEEK:
    case CL_ESTAT:
    case CL_EMAP: tvd_cl_add(v, TVD_CODE_READ_ERROR, object + "\tread error!"); break;
    case CL_ECREAT:
    case CL_EWRITE:
    case CL_EUNLINK:
    case CL_ETMPFILE:
    case CL_ETMPDIR: tvd_cl_add(v, TVD_CODE_WRITE_ERROR, object + "\twrite error!"); break;
    case CL_EFORMAT:
    case CL_EUNPACK:
    case CL_EPARSE: tvd_cl_add(v, TVD_CL_DECOMPRESSION, object + "\tdecompression error!"); break;
    default:
        tvd_cl_add(v, TVD_CODE_OPEN_ERROR, object + "\tcannot open file with error: " + what);
    }
}

// libclamav names its scratch files from rand(): each connection process
// seeds its own sequence before its first scan.
void tvd_cl_seed_process()
{
    static pid_t seeded = 0;
    pid_t self = getpid();
    if (seeded == self)
        return;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    srand(static_cast<unsigned>(self) * 2654435761u ^ static_cast<unsigned>(ts.tv_nsec) ^
          static_cast<unsigned>(ts.tv_sec));
    seeded = self;
}

class tvd_clamav_engine : public tvd_engine {
public:
    tvd_clamav_engine(const tvd_clamav_config &cfg, struct cl_engine *engine,
                      std::vector<std::pair<std::string, uint32_t>> bases, std::string info)
        : cfg_(cfg), engine_(engine), bases_(std::move(bases)), info_(std::move(info))
    {
    }
    ~tvd_clamav_engine() override { cl_engine_free(engine_); }
    tvd_clamav_engine(const tvd_clamav_engine &) = delete;
    tvd_clamav_engine &operator=(const tvd_clamav_engine &) = delete;

    tvd_verdict scan(int fd, uint64_t size, const std::string &object, uint32_t options) override;
    std::vector<std::pair<std::string, uint32_t>> bases() const override { return bases_; }
    std::string info() const override { return info_; }
    std::unique_ptr<tvd_engine> reload(std::string &error) const override
    {
        return tvd_clamav_create(cfg_, error);
    }

private:
    tvd_clamav_config cfg_;
    struct cl_engine *engine_;
    std::vector<std::pair<std::string, uint32_t>> bases_;
    std::string info_;
};

tvd_verdict tvd_clamav_engine::scan(int fd, uint64_t size, const std::string &object, uint32_t)
{
    // ClamAV cannot cure: a cure request gets the same verdict.
    tvd_verdict v;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY) {
        // libclamav calls a descriptor it cannot read clean.
        tvd_error("%s: descriptor not readable", object.c_str());
        tvd_cl_add(v, TVD_CODE_READ_ERROR, object + "\tread error!");
        return v;
    }
    tvd_cl_seed_process();
    std::string dir = cfg_.temp_dir + "/tavexd-clamav.XXXXXX";
    if (!mkdtemp(&dir[0])) {
        // Without a scratch directory libclamav would call everything clean.
        int err = errno;
        tvd_error("cannot create a scratch directory in %s: %s", cfg_.temp_dir.c_str(), strerror(err));
        tvd_cl_add(v, TVD_CODE_WRITE_ERROR, object + "\twrite error!");
        return v;
    }
    if (cl_engine_set_str(engine_, CL_ENGINE_TMPDIR, dir.c_str()) != CL_SUCCESS) {
        tvd_error("cannot give the engine the scratch directory %s", dir.c_str());
        tvd_cl_remove_tree(dir);
        tvd_cl_add(v, TVD_CL_NO_MEMORY, object + "\tno memory");
        return v;
    }
    lseek(fd, 0, SEEK_SET);

    struct cl_scan_options opts;
    memset(&opts, 0, sizeof opts);
    opts.general = CL_SCAN_GENERAL_HEURISTICS;
    opts.parse = ~0u;
    opts.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX | CL_SCAN_HEURISTIC_ENCRYPTED_ARCHIVE;
    tvd_cl_scan s;
    const char *virname = nullptr;
    unsigned long scanned = 0;
    cl_error_t ret = cl_scandesc_callback(fd, object.c_str(), &virname, &scanned, engine_, &opts, &s);
    tvd_cl_remove_tree(dir);

    if (ret == CL_VIRUS) {
        if (s.found.empty())
            s.found.emplace_back(std::string(), virname ? virname : "Heuristics.Limits.Exceeded");
        for (const auto &hit : s.found)
            tvd_cl_judge_match(v, object, hit.first, hit.second);
        return v;
    }
    if (ret != CL_CLEAN) {
        tvd_cl_judge_error(v, object, ret);
        return v;
    }
    if (s.unopened) {
        tvd_error("%s: an archive inside could not be unpacked (RAR)", object.c_str());
        tvd_cl_add(v, TVD_CL_LIMIT, object + "\tnesting limit!");
        return v;
    }
    tvd_note("%s: %llu bytes clean", object.c_str(), static_cast<unsigned long long>(size));
    v.code = TVD_CODE_OK;
    v.lines.push_back(object + "\tOk");
    return v;
}

// Signature files of the directory with their counts, in name order.
std::vector<std::pair<std::string, uint32_t>> tvd_cl_count_files(const std::string &dir)
{
    std::vector<std::pair<std::string, uint32_t>> out;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return out;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' || out.size() >= 256)
            continue;
        std::string path = dir + "/" + e->d_name;
        struct stat st;
        unsigned int n = 0;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (cl_countsigs(path.c_str(), CL_COUNTSIGS_ALL, &n) == CL_SUCCESS && n > 0)
            out.emplace_back(e->d_name, n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// "ClamAV VERSION", then the newest official database's version and date.
std::string tvd_cl_info(const std::string &dir)
{
    std::string info = std::string("ClamAV ") + cl_retver();
    unsigned int best = 0;
    std::string date;
    for (const char *base : {"main.cvd", "main.cld", "daily.cvd", "daily.cld"}) {
        std::string path = dir + "/" + base;
        if (access(path.c_str(), R_OK) != 0)
            continue;
        if (struct cl_cvd *h = cl_cvdhead(path.c_str())) {
            if (h->version > best) {
                best = h->version;
                date = h->time ? h->time : "";
            }
            cl_cvdfree(h);
        }
    }
    if (best)
        info += "/" + std::to_string(best) + "/" + date;
    return info;
}

} // namespace

bool tvd_clamav_parse_limit(const char *text, tvd_clamav_config &cfg, std::string &error)
{
    const char *eq = strchr(text, '=');
    std::string name(text, eq ? static_cast<size_t>(eq - text) : strlen(text));
    for (const tvd_cl_limit_name &l : tvd_cl_limit_names) {
        if (name != l.name)
            continue;
        const char *value = eq ? eq + 1 : "";
        char *end = nullptr;
        errno = 0;
        unsigned long long n = strtoull(value, &end, 10);
        if (!*value || *end || errno || n > l.max || strspn(value, "0123456789") != strlen(value)) {
            error = "bad value of " + name + ": " + value;
            return false;
        }
        cfg.limits.emplace_back(l.field, n);
        return true;
    }
    error = "unknown limit " + name + " (max-filesize, max-scansize, max-files, max-recursion, max-scantime)";
    return false;
}

std::unique_ptr<tvd_engine> tvd_clamav_create(const tvd_clamav_config &cfg, std::string &error)
{
    static bool initialised = false;
    if (!initialised) {
        cl_error_t r = cl_init(CL_INIT_DEFAULT);
        if (r != CL_SUCCESS) {
            error = std::string("cl_init: ") + cl_strerror(r);
            return nullptr;
        }
        initialised = true;
    }
    struct cl_engine *e = cl_engine_new();
    if (!e) {
        error = "cl_engine_new failed";
        return nullptr;
    }
    // Benchmarks measure scanning: no clean-object cache.
    cl_engine_set_num(e, CL_ENGINE_DISABLE_CACHE, 1);
    for (const auto &l : cfg.limits) {
        cl_error_t r = cl_engine_set_num(e, static_cast<enum cl_engine_field>(l.first), static_cast<long long>(l.second));
        if (r != CL_SUCCESS) {
            error = std::string("engine limit: ") + cl_strerror(r);
            cl_engine_free(e);
            return nullptr;
        }
    }
    unsigned int sigs = 0;
    std::string why;
    cl_error_t r = cl_load(cfg.database.c_str(), e, &sigs, CL_DB_STDOPT & ~CL_DB_BYTECODE);
    if (r == CL_SUCCESS && sigs == 0)
        why = "no signatures in " + cfg.database;
    else if (r != CL_SUCCESS)
        why = "cannot load " + cfg.database + ": " + cl_strerror(r);
    else if ((r = cl_engine_compile(e)) != CL_SUCCESS)
        why = "cannot compile " + cfg.database + ": " + cl_strerror(r);
    if (!why.empty()) {
        error = why;
        cl_engine_free(e);
        return nullptr;
    }
    cl_engine_set_clcb_file_inspection(e, tvd_cl_on_inspect);
    cl_engine_set_clcb_post_scan(e, tvd_cl_on_post_scan);
    cl_engine_set_clcb_virus_found(e, tvd_cl_on_virus);
    std::string info = tvd_cl_info(cfg.database);
    tvd_note("%s: %u signatures loaded from %s", info.c_str(), sigs, cfg.database.c_str());
    return std::unique_ptr<tvd_engine>(new tvd_clamav_engine(cfg, e, tvd_cl_count_files(cfg.database), info));
}
