// clamd from Debian's clamav-daemon run for a test: Foreground, private
// sockets and database, limits reported as alerts instead of as clean.
// Stops it with the object; never touches a system clamd.
#include "support/clamd_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tavexd/tvd_eicar.h"

namespace tvx_test {

const char clamd_eicar_name[] = "Tavex.Test.Eicar.UNOFFICIAL";
const char clamd_sample_name[] = "Tavex.Test.ClamExe.UNOFFICIAL";

namespace {

std::string hex_of(const std::string &s)
{
    std::string out;
    char b[3];
    for (unsigned char c : s) {
        snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

}  // namespace

std::string clamd_ask(const std::string &sock, const std::string &command)
{
    struct sockaddr_un sun;
    memset(&sun, 0, sizeof sun);
    sun.sun_family = AF_UNIX;
    strncpy(sun.sun_path, sock.c_str(), sizeof sun.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "";
    struct timeval tv = {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string reply;
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) == 0 &&
        send(fd, command.c_str(), command.size() + 1, MSG_NOSIGNAL) == static_cast<ssize_t>(command.size() + 1)) {
        char buf[4096];
        ssize_t n;
        while (reply.find('\0') == std::string::npos && (n = recv(fd, buf, sizeof buf, 0)) > 0)
            reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t nul = reply.find('\0');
    return nul == std::string::npos ? "" : reply.substr(0, nul);
}

clamd_process::clamd_process() = default;

clamd_process::~clamd_process() { stop(); }

bool clamd_process::start(unsigned max_file_size)
{
    std::string db = dir_ / "db";
    mkdir(db.c_str(), 0700);
    write_file(db + "/tavex.ndb", std::string("Tavex.Test.Eicar:0:*:") + hex_of(tvd_eicar()) + "\n");
    // clamav-testfiles' clam.exe, found inside every one of its samples.
    write_file(db + "/tavex.hdb", "aa15bcf478d165efd2065190eb473bcb:544:Tavex.Test.ClamExe\n");
    if (port_ < 0)
        port_ = free_tcp_port();
    std::string conf = dir_ / "clamd.conf";
    write_file(conf, "Foreground yes\n"
                     "LocalSocket " + sock_ + "\n"
                     "TCPSocket " + std::to_string(port_) + "\n"
                     "TCPAddr 127.0.0.1\n"
                     "DatabaseDirectory " + db + "\n"
                     "LogFile " + (dir_ / "clamd.log") + "\n"
                     "TemporaryDirectory " + dir_.path() + "\n"
                     "User " + current_user() + "\n"
                     "AlertExceedsMax yes\n"
                     "MaxFileSize " + std::to_string(max_file_size) + "\n"
                     "MaxScanSize " + std::to_string(max_file_size) + "\n"
                     "StreamMaxLength " + std::to_string(max_file_size * 2) + "\n"
                     "SelfCheck 0\n");
    pid_ = fork();
    if (pid_ == 0) {
        // A test that dies takes its clamd with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int fd = open((dir_ / "clamd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execl("/usr/sbin/clamd", "clamd", "-c", conf.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid_ < 0)
        return false;
    bool up = eventually([&] {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        return clamd_ask(sock_, "zPING") == "PONG";
    }, 30000);
    return up && pid_ > 0;
}

void clamd_process::stop(bool kill_hard)
{
    if (pid_ <= 0)
        return;
    kill(pid_, kill_hard ? SIGKILL : SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    unlink(sock_.c_str());
}

std::string clamd_process::log_text() const
{
    return read_file(dir_ / "clamd.out") + read_file(dir_ / "clamd.log");
}

}  // namespace tvx_test

namespace tvx_test {

void clamd_process::add_signature(const std::string &name, const std::string &text)
{
    write_file(dir_ / ("db/" + name + ".ndb"), name + ":0:*:" + hex_of(text) + "\n");
}

}  // namespace tvx_test
