// Walks /proc once to find the server's processes (a tree by parent pid or
// a command name) and sums the Pss line of each smaps_rollup.
#include "proc_mem.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Parent pid from /proc/<pid>/stat; the command name there may hold blanks
// and parentheses, so the fields are counted from the last ')'.
pid_t parent_of(pid_t pid)
{
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    char state = 0;
    int ppid = -1;
    if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2)
        return -1;
    return ppid;
}

bool read_pss(pid_t pid, uint64_t &kib)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(in, line)) {
        unsigned long long v = 0;
        if (sscanf(line.c_str(), "Pss: %llu kB", &v) == 1) {
            kib = v;
            return true;
        }
    }
    return false;
}

}  // namespace

proc_mem proc_mem_measure(pid_t root, const std::string &name)
{
    std::vector<pid_t> all;
    if (DIR *d = opendir("/proc")) {
        while (dirent *e = readdir(d)) {
            if (isdigit(static_cast<unsigned char>(e->d_name[0])))
                all.push_back(static_cast<pid_t>(atoi(e->d_name)));
        }
        closedir(d);
    }
    std::set<pid_t> chosen;
    if (root > 0) {
        std::multimap<pid_t, pid_t> children;
        for (pid_t p : all)
            children.emplace(parent_of(p), p);
        std::vector<pid_t> todo{root};
        while (!todo.empty()) {
            pid_t p = todo.back();
            todo.pop_back();
            if (!chosen.insert(p).second)
                continue;
            auto range = children.equal_range(p);
            for (auto it = range.first; it != range.second; ++it)
                todo.push_back(it->second);
        }
        if (slurp("/proc/" + std::to_string(root) + "/stat").empty())
            chosen.erase(root);
    } else {
        for (pid_t p : all) {
            std::string comm = slurp("/proc/" + std::to_string(p) + "/comm");
            if (!comm.empty() && comm.back() == '\n')
                comm.pop_back();
            if (comm == name)
                chosen.insert(p);
        }
    }
    proc_mem m;
    for (pid_t p : chosen) {
        uint64_t kib = 0;
        ++m.processes;
        if (read_pss(p, kib))
            m.pss_kib += kib;
        else
            ++m.unreadable;
    }
    return m;
}
