// Test helpers: temporary directories, programs run to completion, a
// foreground daemon with its own configuration, and a reply-parsing ICAP
// client. Everything here cleans up the processes and files it creates.
#include "support/support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <algorithm>
#include <thread>
#include <unistd.h>

namespace tvx_test {

namespace {

void remove_tree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d)) {
                if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
                    continue;
                remove_tree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits for the child for up to timeout_ms; returns true when it was reaped.
bool wait_child(pid_t pid, int timeout_ms, int &status)
{
    long long end = now_ms() + timeout_ms;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
        if (now_ms() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

}  // namespace

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/tvx-test-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

temp_dir::~temp_dir() { remove_tree(path_); }

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data, unsigned mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        throw std::runtime_error("cannot write " + path);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w <= 0) {
            close(fd);
            throw std::runtime_error("short write to " + path);
        }
        done += static_cast<size_t>(w);
    }
    close(fd);
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool eventually(const std::function<bool()> &pred, int timeout_ms)
{
    long long end = now_ms() + timeout_ms;
    while (!pred()) {
        if (now_ms() >= end)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    if (needle.empty())
        return 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size()))
        ++n;
    return n;
}

std::vector<pid_t> child_processes(pid_t parent, bool zombies_only)
{
    std::vector<pid_t> pids;
    for (const std::string &name : list_dir("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // "pid (comm) state ppid ...": comm may hold blanks and parentheses,
        // so the fields are read after its last ')'.
        std::string stat = read_file("/proc/" + name + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid != parent)
            continue;
        if (!zombies_only || state == 'Z')
            pids.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return pids;
}

int free_tcp_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("no free port");
    }
    int port = ntohs(sa.sin_port);
    ::close(fd);
    return port;
}

std::string current_user()
{
    struct passwd *pw = getpwuid(getuid());
    return pw ? pw->pw_name : "root";
}

run_result run_program(const std::vector<std::string> &argv, const std::string &input, int timeout_s)
{
    run_result res;
    temp_dir tmp;
    std::string out_path = tmp / "out", err_path = tmp / "err", in_path = tmp / "in";
    write_file(in_path, input);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (!wait_child(pid, timeout_s * 1000, status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    res.status = decode_status(status);
    res.out = read_file(out_path);
    res.err = read_file(err_path);
    return res;
}

std::string base_config(const std::string &dir, int port)
{
    for (const char *sub : {"/cache", "/quarantine", "/ucf"})
        mkdir((dir + sub).c_str(), 0700);
    std::ostringstream c;
    c << "LogFile = \"" << dir << "/icapd.log\"\n"
      << "PidFile = \"" << dir << "/icapd.pid\"\n"
      << "Cache = \"" << dir << "/cache/\"\n"
      << "UcfDirectory = \"" << dir << "/ucf/\"\n"
      << "PathToQuarantine = \"" << dir << "/quarantine\"\n"
      << "Templates = \"" << TVX_SOURCE_DIR << "/etc/templates\"\n"
      << "User = " << current_user() << "\n"
      << "BindAddress = 127.0.0.1\n"
      << "BindPort = " << port << "\n";
    return c.str();
}

daemon_process::~daemon_process()
{
    if (pid_ > 0)
        stop(SIGKILL, 5000);
}

void daemon_process::rewrite_config(const std::string &extra_config)
{
    write_file(config_path(), base_config(dir_.path(), port_) + extra_config);
}

int daemon_process::choose_port()
{
    port_ = free_tcp_port();
    port_chosen_ = true;
    return port_;
}

bool daemon_process::start(const std::string &extra_config, const std::vector<std::string> &args)
{
    if (!port_chosen_)
        port_ = free_tcp_port();
    port_chosen_ = false;
    rewrite_config(extra_config);

    int ready[2];
    if (pipe(ready) != 0)
        return false;
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        ::close(ready[0]);
        int err = open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(ready[1], 1);
        dup2(err, 2);
        std::vector<std::string> argv = {TVX_DAEMON_PATH, "-m", "-f", config_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> cargs;
        for (const std::string &a : argv)
            cargs.push_back(const_cast<char *>(a.c_str()));
        cargs.push_back(nullptr);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    char byte = 0;
    bool ok = poll(&p, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1 && byte == ' ';
    ::close(ready[0]);
    if (!ok) {
        stop(SIGKILL, 5000);
        return false;
    }
    return true;
}

bool daemon_process::running()
{
    if (pid_ <= 0)
        return false;
    int status;
    return waitpid(pid_, &status, WNOHANG) == 0;
}

int daemon_process::stop(int sig, int timeout_ms)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, sig);
    int status = 0;
    int result;
    if (wait_child(pid_, timeout_ms, status)) {
        result = decode_status(status);
    } else {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        result = -1;
    }
    pid_ = -1;
    return result;
}

bool daemon_process::wait_log(const std::string &text, int timeout_ms) const
{
    long long end = now_ms() + timeout_ms;
    while (log().find(text) == std::string::npos) {
        if (now_ms() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

icap_conn::~icap_conn() { close(); }

void icap_conn::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

bool icap_conn::connect(int port)
{
    close();
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0)
        return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close();
        return false;
    }
    return true;
}

void icap_conn::adopt(int fd)
{
    close();
    fd_ = fd;
}

bool icap_conn::send(const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

bool icap_conn::fill(int timeout_ms)
{
    if (fd_ < 0)
        return false;
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r <= 0)
        return false;
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0)
        return false;
    pending_.append(buf, static_cast<size_t>(n));
    return true;
}

bool icap_conn::take_line(std::string &line, int timeout_ms)
{
    long long end = now_ms() + timeout_ms;
    size_t pos;
    while ((pos = pending_.find('\n')) == std::string::npos) {
        int left = static_cast<int>(std::max(0LL, end - now_ms()));
        if (!fill(left))
            return false;
    }
    line = pending_.substr(0, pos + 1);
    pending_.erase(0, pos + 1);
    return true;
}

bool icap_conn::take_bytes(std::string &out, size_t n, int timeout_ms)
{
    long long end = now_ms() + timeout_ms;
    while (pending_.size() < n) {
        int left = static_cast<int>(std::max(0LL, end - now_ms()));
        if (!fill(left))
            return false;
    }
    out = pending_.substr(0, n);
    pending_.erase(0, n);
    return true;
}

std::string icap_conn::read_until(const std::string &needle, int timeout_ms)
{
    long long end = now_ms() + timeout_ms;
    size_t pos;
    while ((pos = pending_.find(needle)) == std::string::npos) {
        int left = static_cast<int>(std::max(0LL, end - now_ms()));
        if (!fill(left)) {
            std::string all;
            all.swap(pending_);
            return all;
        }
    }
    std::string got = pending_.substr(0, pos + needle.size());
    pending_.erase(0, pos + needle.size());
    return got;
}

bool icap_conn::wait_closed(int timeout_ms)
{
    long long end = now_ms() + timeout_ms;
    for (;;) {
        if (fd_ < 0)
            return true;
        pollfd p{fd_, POLLIN, 0};
        int left = static_cast<int>(std::max(0LL, end - now_ms()));
        int r = poll(&p, 1, left);
        if (r <= 0)
            return false;
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0)
            return false;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

bool icap_conn::read_reply(icap_reply &reply, int timeout_ms)
{
    reply = icap_reply();
    std::string line;
    // Status line and head fields up to the empty line.
    for (;;) {
        if (!take_line(line, timeout_ms))
            return false;
        reply.raw_head += line;
        if (line == "\r\n" || line == "\n")
            break;
        if (reply.status == 0) {
            if (sscanf(line.c_str(), "ICAP/1.0 %d", &reply.status) != 1)
                return false;
            continue;
        }
        size_t colon = line.find(':');
        if (colon != std::string::npos)
            reply.fields[lower(line.substr(0, colon))] = trim(line.substr(colon + 1));
    }
    reply.raw = reply.raw_head;
    auto enc = reply.fields.find("encapsulated");
    if (enc == reply.fields.end() || reply.status == 100 || reply.status == 204)
        return true;
    reply.encapsulated = enc->second;

    // Header bytes run up to the offset of the body (or null-body) entity.
    size_t body_offset = 0;
    bool body = false;
    std::stringstream ss(reply.encapsulated);
    std::string tok;
    while (ss >> tok) {
        if (!tok.empty() && tok.back() == ',')
            tok.pop_back();
        size_t eq = tok.find('=');
        if (eq == std::string::npos)
            continue;
        std::string name = tok.substr(0, eq);
        size_t off = std::stoul(tok.substr(eq + 1));
        if (name == "req-body" || name == "res-body" || name == "opt-body") {
            body = true;
            body_offset = off;
        } else if (name == "null-body") {
            body_offset = off;
        }
    }
    if (body_offset > 0) {
        if (!take_bytes(reply.http_header, body_offset, timeout_ms))
            return false;
        reply.raw += reply.http_header;
    }
    if (!body)
        return true;
    reply.has_body = true;
    for (;;) {
        if (!take_line(line, timeout_ms))
            return false;
        reply.raw += line;
        size_t size = strtoul(line.c_str(), nullptr, 16);
        if (size == 0) {
            if (!take_line(line, timeout_ms))  // the empty line after the last chunk
                return false;
            reply.raw += line;
            return true;
        }
        std::string data;
        if (!take_bytes(data, size + 2, timeout_ms))
            return false;
        reply.raw += data;
        reply.chunk_sizes.push_back(size);
        reply.body.append(data, 0, size);
    }
}

std::string chunked(const std::string &data, size_t chunk, bool ieof)
{
    std::string out;
    char hdr[32];
    for (size_t pos = 0; pos < data.size(); pos += chunk) {
        size_t n = std::min(chunk, data.size() - pos);
        snprintf(hdr, sizeof hdr, "%zx\r\n", n);
        out += hdr;
        out.append(data, pos, n);
        out += "\r\n";
    }
    out += ieof ? "0; ieof\r\n\r\n" : "0\r\n\r\n";
    return out;
}

}  // namespace tvx_test
