// Listening sockets of the stand-in scanning daemon and its pid file. The
// addresses are written the way the ICAP daemon's configuration writes them
// (local:PATH, inet:PORT@HOST); the pid file lists where it really listens.
#ifndef TVD_LISTEN_H
#define TVD_LISTEN_H

#include <string>
#include <vector>

struct tvd_listener {
    bool local = false;
    std::string host;    // inet: host as given; local: the socket path
    std::string port;    // inet: port as given (0 picks a free one)
    int fd = -1;
    std::string bound;   // pid-file line: the path, or numeric host:port
};

// Parses one address word; on failure error says why.
bool tvd_listener_parse(const std::string &word, tvd_listener &l, std::string &error);
// Binds and listens. A stale socket file (nobody accepts on it) is replaced;
// a live one is left alone and fails the bind.
bool tvd_listener_open(tvd_listener &l, std::string &error);
// Removes the socket file of a local listener that this process created.
void tvd_listener_close(tvd_listener &l, bool unlink_path);

// Writes "pid\n" then one bound address per line, through a temp file and a
// rename so that a reader never sees half a file.
bool tvd_pid_file_write(const std::string &path, const std::vector<tvd_listener> &ls, std::string &error);

#endif
