// Client side of the load: non-blocking sockets in level-triggered epoll
// loops. A request is complete only when all of it went out (or the server
// answered a preview finally) and its reply was read to the last byte and
// found correct; anything else is counted as an error, never as throughput.
#include "loadgen.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <atomic>
#include <memory>
#include <vector>

namespace {

const size_t k_in_small = 16 * 1024;
const size_t k_in_large = 256 * 1024;
const size_t k_in_max = 4 * 1024 * 1024;  // encapsulated headers may need this much at once

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// What the threads share: the ticket counter, the start signal and the clock.
struct load_control {
    const load_plan *plan = nullptr;
    std::atomic<uint64_t> issued{0};
    std::mutex mu;
    std::condition_variable cv;
    int ready = 0;       // threads whose connections are set up
    int connected = 0;   // connections up at that point
    bool go = false;
    uint64_t measure_from = 0;  // end of the warm-up
    uint64_t deadline = 0;      // no request starts after this
};

class load_worker {
public:
    load_worker(load_control &ctl, int conns) : ctl_(ctl), plan_(*ctl.plan), conns_(conns) {}
    void run();
    load_result result;
    uint64_t last_done = 0;

private:
    enum class phase { idle, connecting, active, retry, done };
    struct conn {
        int fd = -1;
        phase ph = phase::idle;
        bool in_rest = false;     // sending the part after "100 Continue"
        size_t sent = 0;
        bool out_done = false;    // the part being sent went out whole
        bool continued = false;   // "100 Continue" arrived
        bool replied = false;     // the final reply arrived
        bool want_out = false;    // registered for EPOLLOUT
        bool reused = false;      // the connection has carried a whole reply
        bool reply_began = false; // a byte of the current reply arrived
        bool retried = false;     // the current request was already sent again
        uint64_t t0 = 0;
        uint64_t retry_at = 0;
        reply_parser parser;
        std::vector<char> in;
        size_t in_start = 0, in_end = 0;
    };

    bool take_ticket();
    bool open_socket(conn &c, unsigned idx);
    void start_request(conn &c, unsigned idx);
    void try_send(conn &c, unsigned idx);
    void on_readable(conn &c, unsigned idx);
    void on_writable(conn &c, unsigned idx);
    void process(conn &c, unsigned idx);
    void complete(conn &c, unsigned idx);
    void fail(conn &c, unsigned idx, const std::string &why);
    bool retry_on_new_connection(conn &c, unsigned idx);
    void set_out(conn &c, unsigned idx, bool want);
    void drop_socket(conn &c);
    bool measured(uint64_t t) const { return t >= ctl_.measure_from; }

    load_control &ctl_;
    const load_plan &plan_;
    std::vector<conn> conns_;
    int ep_ = -1;
    int live_ = 0;          // connections not done
    bool started_ = false;  // the clock runs: requests may go out
};

bool load_worker::take_ticket()
{
    if (now_ns() >= ctl_.deadline)
        return false;
    if (!plan_.count)
        return true;
    return ctl_.issued.fetch_add(1) < plan_.count;
}

bool load_worker::open_socket(conn &c, unsigned idx)
{
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) {
        ++result.errors[std::string("socket: ") + strerror(errno)];
        return false;
    }
    int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(c.fd, reinterpret_cast<const sockaddr *>(&plan_.addr), sizeof plan_.addr) != 0 &&
        errno != EINPROGRESS) {
        ++result.errors[std::string("connect: ") + strerror(errno)];
        close(c.fd);
        c.fd = -1;
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.u32 = idx;
    epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &ev);
    c.want_out = true;
    c.ph = phase::connecting;
    c.in_start = c.in_end = 0;
    c.reused = false;
    return true;
}

void load_worker::drop_socket(conn &c)
{
    if (c.fd >= 0) {
        epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
        close(c.fd);
    }
    c.fd = -1;
    c.in_start = c.in_end = 0;
}

void load_worker::set_out(conn &c, unsigned idx, bool want)
{
    if (c.want_out == want || c.fd < 0)
        return;
    c.want_out = want;
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.u32 = idx;
    epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
}

void load_worker::start_request(conn &c, unsigned idx)
{
    if (!take_ticket()) {
        c.ph = phase::done;
        drop_socket(c);
        --live_;
        return;
    }
    c.t0 = now_ns();
    c.parser.reset(plan_.req);
    c.in_rest = c.out_done = c.continued = c.replied = false;
    c.reply_began = c.retried = false;
    c.sent = 0;
    if (c.fd < 0) {
        ++result.connects;
        if (!open_socket(c, idx)) {
            ++result.failed;
            c.ph = phase::retry;  // the server may be restarting: try again shortly
            c.retry_at = now_ns() + 10000000;
            return;
        }
        return;  // the request goes out once the connection is up
    }
    c.ph = phase::active;
    try_send(c, idx);
}

void load_worker::try_send(conn &c, unsigned idx)
{
    const std::string &buf = c.in_rest ? plan_.req->rest : plan_.req->first;
    while (c.sent < buf.size()) {
        ssize_t w = send(c.fd, buf.data() + c.sent, buf.size() - c.sent, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                set_out(c, idx, true);
                return;
            }
            int err = errno;
            if (!retry_on_new_connection(c, idx))
                fail(c, idx, std::string("send: ") + strerror(err));
            return;
        }
        c.sent += static_cast<size_t>(w);
    }
    set_out(c, idx, false);
    c.out_done = true;
    if (!c.in_rest && c.continued && !c.replied) {
        c.in_rest = true;
        c.sent = 0;
        c.out_done = false;
        try_send(c, idx);
        return;
    }
    if (c.replied)
        complete(c, idx);
}

void load_worker::on_writable(conn &c, unsigned idx)
{
    if (c.ph == phase::connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err) {
            fail(c, idx, std::string("connect: ") + strerror(err));
            return;
        }
        if (!started_) {  // setting up keep-alive connections: no request yet
            c.ph = phase::idle;
            set_out(c, idx, false);
            return;
        }
        c.ph = phase::active;
    }
    if (c.ph == phase::active)
        try_send(c, idx);
}

void load_worker::on_readable(conn &c, unsigned idx)
{
    if (c.ph == phase::done) {  // kept open after its one request: only watch for the end
        char byte;
        ssize_t r = recv(c.fd, &byte, 1, 0);
        if (r > 0)
            ++result.errors["bytes from the server with no request pending"];
        if (r > 0 || r == 0 || (errno != EAGAIN && errno != EINTR))
            drop_socket(c);
        return;
    }
    if (c.in.empty())
        c.in.resize(plan_.req->body.size() >= k_in_small ? k_in_large : k_in_small);
    if (c.in_end == c.in.size()) {
        if (c.in_start > 0) {
            memmove(c.in.data(), c.in.data() + c.in_start, c.in_end - c.in_start);
            c.in_end -= c.in_start;
            c.in_start = 0;
        } else if (c.in.size() < k_in_max) {
            c.in.resize(c.in.size() * 2);
        } else {
            fail(c, idx, "reply part too large to judge");
            return;
        }
    }
    ssize_t r = recv(c.fd, c.in.data() + c.in_end, c.in.size() - c.in_end, 0);
    if (r < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        int err = errno;
        if (!retry_on_new_connection(c, idx))
            fail(c, idx, std::string("recv: ") + strerror(err));
        return;
    }
    if (r == 0) {
        if (retry_on_new_connection(c, idx))
            return;
        if (c.ph == phase::active || c.ph == phase::connecting)
            fail(c, idx, "connection closed before the reply ended");
        else if (c.ph == phase::idle) {
            ++result.errors["idle connection closed by the server"];
            drop_socket(c);
        }
        return;
    }
    c.in_end += static_cast<size_t>(r);
    c.reply_began = true;
    if (c.ph != phase::active) {
        fail(c, idx, "bytes from the server with no request pending");
        return;
    }
    process(c, idx);
}

void load_worker::process(conn &c, unsigned idx)
{
    for (;;) {
        size_t used = 0;
        reply_step s = c.parser.feed(c.in.data() + c.in_start, c.in_end - c.in_start, used);
        c.in_start += used;
        if (c.in_start == c.in_end)
            c.in_start = c.in_end = 0;
        switch (s) {
        case reply_step::more:
            return;
        case reply_step::error:
            fail(c, idx, c.parser.error());
            return;
        case reply_step::interim:
            ++result.continues;
            c.continued = true;
            if (!c.in_rest && c.out_done) {
                c.in_rest = true;
                c.sent = 0;
                c.out_done = false;
                try_send(c, idx);
                if (c.ph != phase::active)
                    return;
            }
            continue;
        case reply_step::final:
            c.replied = true;
            if (c.in_start != c.in_end) {
                fail(c, idx, "bytes after the end of the reply");
                return;
            }
            // A preview answered finally needs no rest; a full request is
            // still sent to its end so the connection stays in step.
            if (c.out_done)
                complete(c, idx);
            return;
        }
    }
}

void load_worker::complete(conn &c, unsigned idx)
{
    uint64_t t = now_ns();
    if (c.parser.status())
        ++result.statuses[c.parser.status()];
    if (measured(t)) {
        ++result.ok;
        result.body_bytes += c.parser.body_bytes();
        result.latency.add(t - c.t0);
        last_done = t;
    }
    c.ph = phase::idle;
    c.reused = true;
    if (!plan_.keep_alive || c.parser.connection_close())
        drop_socket(c);
    if (plan_.one_per_conn) {
        c.ph = phase::done;
        --live_;
        return;
    }
    start_request(c, idx);
}

void load_worker::fail(conn &c, unsigned idx, const std::string &why)
{
    ++result.failed;
    ++result.errors[why];
    if (c.parser.status() && c.parser.status() != 100)
        ++result.statuses[c.parser.status()];
    drop_socket(c);
    if (plan_.one_per_conn || !started_) {
        c.ph = phase::done;
        --live_;
        return;
    }
    c.ph = phase::idle;
    start_request(c, idx);
}

// A reused keep-alive connection that ends before the first byte of the
// reply was most likely retired by the server as it sat idle, at the moment
// the request went out: nothing of the request was answered, so it is sent
// once more, from its start, on a new connection, and counted as retried.
// A fresh connection, a reply already begun or a second retry stays a
// failure. True when the request went out again.
bool load_worker::retry_on_new_connection(conn &c, unsigned idx)
{
    if (c.ph != phase::active || !c.reused || c.reply_began || c.retried)
        return false;
    ++result.retried;
    drop_socket(c);
    c.retried = true;
    c.parser.reset(plan_.req);
    c.in_rest = c.out_done = c.continued = c.replied = false;
    c.sent = 0;
    ++result.connects;
    if (!open_socket(c, idx)) {  // the error is counted by open_socket
        ++result.failed;
        c.ph = phase::retry;
        c.retry_at = now_ns() + 10000000;
    }
    return true;
}

void load_worker::run()
{
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    live_ = static_cast<int>(conns_.size());
    std::vector<epoll_event> events(conns_.size() < 512 ? conns_.size() + 1 : 512);

    // Keep-alive connections are opened before the clock starts.
    int up = 0;
    if (plan_.keep_alive) {
        for (unsigned i = 0; i < conns_.size(); ++i)
            if (!open_socket(conns_[i], i)) {
                ++result.failed;
                conns_[i].ph = phase::done;
                --live_;
            }
        uint64_t until = now_ns() + static_cast<uint64_t>(plan_.timeout_ms) * 1000000u;
        for (;;) {
            int waiting = 0;
            for (conn &c : conns_)
                waiting += c.ph == phase::connecting;
            if (!waiting || now_ns() >= until)
                break;
            int n = epoll_wait(ep_, events.data(), static_cast<int>(events.size()), 50);
            for (int i = 0; i < n; ++i) {
                conn &c = conns_[events[i].data.u32];
                if (c.ph == phase::connecting && (events[i].events & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
                    on_writable(c, events[i].data.u32);
            }
        }
        for (unsigned i = 0; i < conns_.size(); ++i) {
            if (conns_[i].ph == phase::idle) {
                ++up;
            } else if (conns_[i].ph == phase::connecting) {
                fail(conns_[i], i, "connect: timed out");
            }
        }
    }
    {
        std::unique_lock<std::mutex> lk(ctl_.mu);
        ++ctl_.ready;
        ctl_.connected += up;
        ctl_.cv.notify_all();
        ctl_.cv.wait(lk, [&] { return ctl_.go; });
    }
    started_ = true;

    for (unsigned i = 0; i < conns_.size(); ++i)
        if (conns_[i].ph == phase::idle)
            start_request(conns_[i], i);

    uint64_t last_scan = now_ns();
    const uint64_t timeout_ns = static_cast<uint64_t>(plan_.timeout_ms) * 1000000u;
    while (live_ > 0) {
        int n = epoll_wait(ep_, events.data(), static_cast<int>(events.size()), 20);
        for (int i = 0; i < n; ++i) {
            unsigned idx = events[i].data.u32;
            conn &c = conns_[idx];
            uint32_t ev = events[i].events;
            if (c.fd < 0)
                continue;
            if (ev & (EPOLLOUT | EPOLLERR))
                on_writable(c, idx);
            if (c.fd >= 0 && (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) && c.ph != phase::connecting)
                on_readable(c, idx);
        }
        uint64_t t = now_ns();
        if (t - last_scan < 20000000)
            continue;
        last_scan = t;
        for (unsigned i = 0; i < conns_.size(); ++i) {
            conn &c = conns_[i];
            if ((c.ph == phase::active || c.ph == phase::connecting) && t - c.t0 > timeout_ns)
                fail(c, i, "no complete reply within the time-out");
            else if (c.ph == phase::retry && t >= c.retry_at) {
                c.ph = phase::idle;
                start_request(c, i);
            }
        }
    }
    for (conn &c : conns_)
        drop_socket(c);
    close(ep_);
}

}  // namespace

load_result run_load(const load_plan &plan)
{
    load_control ctl;
    ctl.plan = &plan;
    int threads = plan.threads < plan.conns ? plan.threads : plan.conns;
    std::vector<std::unique_ptr<load_worker>> workers;
    for (int t = 0; t < threads; ++t) {
        int share = plan.conns / threads + (t < plan.conns % threads ? 1 : 0);
        workers.push_back(std::make_unique<load_worker>(ctl, share));
    }
    std::vector<std::thread> running;
    for (auto &w : workers)
        running.emplace_back([&w] { w->run(); });

    int connected = 0;
    {
        std::unique_lock<std::mutex> lk(ctl.mu);
        ctl.cv.wait(lk, [&] { return ctl.ready == threads; });
        connected = ctl.connected;
    }
    if (plan.before_start)
        plan.before_start(connected);
    uint64_t start = now_ns();
    {
        std::lock_guard<std::mutex> lk(ctl.mu);
        ctl.measure_from = start + static_cast<uint64_t>(plan.warmup * 1e9);
        ctl.deadline = ctl.measure_from + static_cast<uint64_t>(plan.seconds * 1e9);
        ctl.go = true;
        ctl.cv.notify_all();
    }
    for (std::thread &t : running)
        t.join();

    load_result r;
    r.connected = connected;
    uint64_t last = 0;
    for (auto &w : workers) {
        load_result &x = w->result;
        r.ok += x.ok;
        r.failed += x.failed;
        r.continues += x.continues;
        r.connects += x.connects;
        r.retried += x.retried;
        r.body_bytes += x.body_bytes;
        for (auto &kv : x.statuses)
            r.statuses[kv.first] += kv.second;
        for (auto &kv : x.errors)
            r.errors[kv.first] += kv.second;
        r.latency.merge(x.latency);
        if (w->last_done > last)
            last = w->last_done;
    }
    if (last > ctl.measure_from)
        r.seconds = static_cast<double>(last - ctl.measure_from) / 1e9;
    return r;
}
