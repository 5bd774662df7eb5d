// Helpers for tests that run the real programs: temporary directories, free
// loopback ports, running a program to completion, starting tavex-icapd in
// the foreground on its own configuration, and an ICAP client that reads
// whole replies. Used by unit and integration tests alike.
#ifndef TVX_TESTS_SUPPORT_H
#define TVX_TESTS_SUPPORT_H

#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tvx_test {

// A directory under /tmp removed with everything in it when the object goes.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data, unsigned mode = 0644);
bool file_exists(const std::string &path);
// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const std::string &path);

// Polls pred every 10 ms until it holds; false when it still does not
// after timeout_ms.
bool eventually(const std::function<bool()> &pred, int timeout_ms = 10000);

// Number of non-overlapping occurrences of needle in text.
size_t count_of(const std::string &text, const std::string &needle);

// Process ids whose parent is parent (read from /proc); with zombies_only,
// only those that have ended and wait to be reaped.
std::vector<pid_t> child_processes(pid_t parent, bool zombies_only = false);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_tcp_port();
// Name of the account running the tests.
std::string current_user();

struct run_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};
// Runs argv[0] (a path) with the arguments, feeding input on standard input;
// kills it after timeout_s seconds.
run_result run_program(const std::vector<std::string> &argv, const std::string &input = "",
                       int timeout_s = 60);

// Configuration text that puts every path of a daemon under dir and makes it
// listen on 127.0.0.1:port as the current user; the directories it names
// (cache, quarantine, ucf) are made. Tests append their own keys.
std::string base_config(const std::string &dir, int port);

// tavex-icapd started in monitor mode (-m) in the foreground; start() returns
// once the daemon has written its readiness byte.
class daemon_process {
public:
    daemon_process() = default;
    ~daemon_process();
    daemon_process(const daemon_process &) = delete;
    daemon_process &operator=(const daemon_process &) = delete;

    // Writes the configuration (base_config plus extra) and starts the
    // daemon with -m -f and the extra arguments. False if it did not get ready.
    bool start(const std::string &extra_config = "", const std::vector<std::string> &args = {});
    // Sends sig and waits up to timeout_ms for the exit; returns the exit
    // status (128 + signal when killed by a signal), or -1 when it had to be
    // killed with SIGKILL after the time-out.
    int stop(int sig = SIGTERM, int timeout_ms = 10000);
    bool running();
    // Rewrites the configuration file (base plus extra) before a reload.
    void rewrite_config(const std::string &extra_config);

    // Picks the port the next start() listens on, so that a configuration
    // served from elsewhere (the agent) can name it; start() otherwise
    // picks a new one.
    int choose_port();

    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const temp_dir &dir() const { return dir_; }
    std::string config_path() const { return dir_ / "tavex-icapd.ini"; }
    std::string log_path() const { return dir_ / "icapd.log"; }
    std::string pid_file() const { return dir_ / "icapd.pid"; }
    std::string cache_dir() const { return dir_ / "cache"; }
    std::string log() const { return read_file(log_path()); }
    std::string stderr_text() const { return read_file(dir_ / "stderr"); }
    // Waits until the log contains the text; false after the time-out.
    bool wait_log(const std::string &text, int timeout_ms = 10000) const;

private:
    temp_dir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool port_chosen_ = false;
};

// A parsed ICAP reply: head fields, and for replies that carry an
// encapsulated message, the HTTP header text and the de-chunked body with
// the sizes of its chunks.
struct icap_reply {
    std::string raw_head;  // up to and including the empty line
    int status = 0;
    std::map<std::string, std::string> fields;  // lower-case names, values trimmed
    std::string encapsulated;
    std::string http_header;
    bool has_body = false;
    std::string body;
    std::vector<size_t> chunk_sizes;
    std::string raw;  // every byte of the reply as received
};

// A blocking client connection to 127.0.0.1 with a time-out per call.
class icap_conn {
public:
    icap_conn() = default;
    ~icap_conn();
    icap_conn(const icap_conn &) = delete;
    icap_conn &operator=(const icap_conn &) = delete;

    bool connect(int port);
    // Takes over an already connected socket (one end of a socket pair).
    void adopt(int fd);
    bool send(const std::string &data);
    // Reads one whole reply (head, then whatever Encapsulated announces).
    bool read_reply(icap_reply &reply, int timeout_ms = 10000);
    // Reads until the text has arrived or the time-out ends; returns what
    // came (and consumes it).
    std::string read_until(const std::string &needle, int timeout_ms = 10000);
    // True when the peer closes the connection within the time-out.
    bool wait_closed(int timeout_ms = 10000);
    void close();
    int fd() const { return fd_; }

private:
    bool fill(int timeout_ms);  // one read into pending_; false on close, error, time-out
    bool take_line(std::string &line, int timeout_ms);
    bool take_bytes(std::string &out, size_t n, int timeout_ms);
    int fd_ = -1;
    std::string pending_;
};

// Wraps data as a chunked body: one chunk per piece of at most chunk bytes,
// then the last chunk ("0\r\n\r\n", or "0; ieof\r\n\r\n").
std::string chunked(const std::string &data, size_t chunk = 4096, bool ieof = false);

}  // namespace tvx_test

#endif
