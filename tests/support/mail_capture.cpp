// Reads what tests/support/mail-capture.sh left in its folder and builds the
// MailCommand texts that run it. Only .msg files are listed, never the
// dot-named ones still being written; the only processes it ends are its
// own folder's hang-mode sleeps, recognised by their working directory.
#include "support/mail_capture.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "support/support.h"

namespace tvx_test {

namespace {

const std::string k_msg = ".msg";

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A word for the shell that the daemon runs the command line with, and for
// the printf-style expansion before that: quoted when it holds anything
// but the plain characters of a path, every '%' doubled.
std::string command_word(const std::string &word)
{
    bool plain = !word.empty();
    for (char c : word) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  std::string("/._+-:@,=").find(c) != std::string::npos;
        plain = plain && ok;
    }
    std::string quoted;
    if (!plain)
        quoted += '\'';
    for (char c : word) {
        if (c == '%')
            quoted += "%%";
        else if (c == '\'' && !plain)
            quoted += "'\\''";
        else
            quoted += c;
    }
    if (!plain)
        quoted += '\'';
    return quoted;
}

std::string real_path(const std::string &path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

}  // namespace

mail_capture::mail_capture(const std::string &dir) : dir_(dir)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make mail capture folder " + dir);
}

mail_capture::~mail_capture()
{
    std::string here = real_path(dir_);
    for (const mail_call &c : calls()) {
        if (c.mode != "hang" || c.pid <= 0)
            continue;
        char buf[PATH_MAX];
        ssize_t n = readlink(("/proc/" + std::to_string(c.pid) + "/cwd").c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            continue;
        std::string cwd(buf, static_cast<size_t>(n));
        if (cwd == here || cwd == here + " (deleted)")
            kill(c.pid, SIGKILL);
    }
}

std::string mail_capture::script_path() { return std::string(TVX_SOURCE_DIR) + "/tests/support/mail-capture.sh"; }

std::string mail_capture::command(mode m, int hang_seconds) const
{
    std::string option;
    switch (m) {
    case mode::store:
        break;
    case mode::fail:
        option = " --fail";
        break;
    case mode::hang:
        option = " --hang=" + std::to_string(hang_seconds);
        break;
    case mode::no_read:
        option = " --no-read";
        break;
    }
    return command_word(script_path()) + option + " " + command_word(dir_) + " %s";
}

std::vector<captured_mail> mail_capture::messages() const
{
    std::vector<captured_mail> out;
    for (const std::string &name : list_dir(dir_)) {
        if (name[0] == '.' || !ends_with(name, k_msg))
            continue;
        captured_mail m;
        m.id = name.substr(0, name.size() - k_msg.size());
        m.data = read_file(dir_ + "/" + name);
        std::string args = read_file(dir_ + "/" + m.id + ".args");
        size_t start = 0;
        for (size_t nul; (nul = args.find('\0', start)) != std::string::npos; start = nul + 1)
            m.args.push_back(args.substr(start, nul - start));
        out.push_back(std::move(m));
    }
    return out;  // list_dir sorts, and the ids sort by time
}

size_t mail_capture::count() const
{
    size_t n = 0;
    for (const std::string &name : list_dir(dir_))
        n += name[0] != '.' && ends_with(name, k_msg);
    return n;
}

bool mail_capture::wait_messages(size_t n, int timeout_ms) const
{
    return eventually([&] { return count() >= n; }, timeout_ms);
}

std::vector<mail_call> mail_capture::calls() const
{
    std::vector<mail_call> out;
    std::istringstream in(read_file(dir_ + "/calls"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        mail_call c;
        if (fields >> c.mode >> c.pid)
            out.push_back(c);
    }
    return out;
}

bool mail_capture::wait_calls(size_t n, int timeout_ms) const
{
    return eventually([&] { return calls().size() >= n; }, timeout_ms);
}

}  // namespace tvx_test
