// Where the stand-in agent writes its statistics lines: a file opened for
// appending, or standard output. Writes whole lines only and never reads.
#ifndef AGT_OUT_H
#define AGT_OUT_H

#include <string>

enum agt_out_result {
    AGT_OUT_OK = 0,
    AGT_OUT_FAILED = 1,  // errno says why
};

// Opens path for appending (created 0644, close-on-exec); an empty path is
// standard output. Returns the descriptor, or -1 with error set.
int agt_out_open(const std::string &path, std::string &error);

// Writes the line with one write call when the system takes it whole (it
// does for a regular file opened for appending, so lines of connections
// served at once never interleave there; on a pipe only lines of up to
// PIPE_BUF bytes are sure to stay whole). Nothing is buffered: the line is
// out when this returns.
int agt_out_line(int fd, const std::string &line);

#endif
