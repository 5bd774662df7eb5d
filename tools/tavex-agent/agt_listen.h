// Listening sockets of the stand-in agent and its pid file. Addresses are
// written as the daemon's -f takes them (local:PATH, inet:PORT@HOST); the pid
// file lists where the agent really listens, in the form tavexd uses.
#ifndef AGT_LISTEN_H
#define AGT_LISTEN_H

#include <string>
#include <vector>

struct agt_listener {
    bool local = false;
    std::string host;   // inet: the host as given; local: the socket path
    std::string port;   // inet: the port as given (0 picks a free one)
    int fd = -1;
    std::string bound;  // pid-file line: the path, or numeric host:port
};

// Parses one address word; on failure error says why.
bool agt_listener_parse(const std::string &word, agt_listener &l, std::string &error);
// Binds and listens (non-blocking, close-on-exec). A stale socket file, one
// nobody accepts on, is replaced; a live one or any other file fails the bind.
bool agt_listener_open(agt_listener &l, std::string &error);
// Closes the socket and removes the socket file this process created.
void agt_listener_close(agt_listener &l);

// Writes "pid\n", then one bound address per line, through a temp file and a
// rename so that a reader never sees half a file.
bool agt_pid_file_write(const std::string &path, const std::vector<agt_listener> &ls, std::string &error);

#endif
