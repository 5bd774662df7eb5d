// Loopback echo server: one epoll loop, one bounded buffer per connection.
// A connection whose echo cannot be written stops being read until it can,
// so memory stays bounded whatever the client sends.
#include "raw_echo.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <memory>
#include <unordered_map>
#include <vector>

namespace {

const size_t k_echo_buf = 256 * 1024;

struct echo_conn {
    std::vector<char> buf = std::vector<char>(k_echo_buf);
    size_t start = 0, end = 0;  // bytes read but not yet echoed
    bool writing = false;       // waiting for room to write, not reading
};

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

raw_echo_server::~raw_echo_server() { stop(); }

bool raw_echo_server::start(const std::string &host, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &a.sin_addr) != 1) {
        error_ = "bad address " + host;
        return false;
    }
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 1024) != 0) {
        error_ = std::string("echo server: ") + strerror(errno);
        if (listen_fd_ >= 0)
            close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    set_nonblocking(listen_fd_);
    stop_ = false;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void raw_echo_server::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listen_fd_ >= 0)
        close(listen_fd_);
    listen_fd_ = -1;
}

void raw_echo_server::serve()
{
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_fd_;
    epoll_ctl(ep, EPOLL_CTL_ADD, listen_fd_, &ev);
    std::unordered_map<int, std::unique_ptr<echo_conn>> conns;
    epoll_event events[256];

    auto drop = [&](int fd) {
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        conns.erase(fd);
    };
    while (!stop_) {
        int n = epoll_wait(ep, events, 256, 100);
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == listen_fd_) {
                for (;;) {
                    int c = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (c < 0)
                        break;
                    int one = 1;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    conns[c] = std::make_unique<echo_conn>();
                    epoll_event ce{};
                    ce.events = EPOLLIN;
                    ce.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &ce);
                }
                continue;
            }
            auto it = conns.find(fd);
            if (it == conns.end())
                continue;
            echo_conn &c = *it->second;
            bool dead = false;
            if (c.start == c.end) {
                ssize_t r = recv(fd, c.buf.data(), c.buf.size(), 0);
                if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
                    dead = true;
                else if (r > 0) {
                    c.start = 0;
                    c.end = static_cast<size_t>(r);
                }
            }
            while (!dead && c.start < c.end) {
                ssize_t w = send(fd, c.buf.data() + c.start, c.end - c.start, MSG_NOSIGNAL);
                if (w < 0) {
                    if (errno != EAGAIN && errno != EINTR)
                        dead = true;
                    break;
                }
                c.start += static_cast<size_t>(w);
            }
            if (dead) {
                drop(fd);
                continue;
            }
            bool writing = c.start < c.end;
            if (writing != c.writing) {
                c.writing = writing;
                epoll_event ce{};
                ce.events = writing ? EPOLLOUT : EPOLLIN;
                ce.data.fd = fd;
                epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ce);
            }
        }
    }
    for (auto &kv : conns)
        close(kv.first);
    close(ep);
}
