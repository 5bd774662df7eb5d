// The keepalive pipe: creation and closing of its ends. Holds no other
// state; who closes which end when is decided by the listener and the
// connection processes.
#include "daemon/keepalive.h"

#include <fcntl.h>
#include <unistd.h>

int keepalive_pipe[2] = {-1, -1};

bool keepalive_open()
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    keepalive_pipe[0] = p[0];
    keepalive_pipe[1] = p[1];
    return true;
}

void keepalive_close()
{
    for (int &fd : keepalive_pipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

void keepalive_close_write_end()
{
    if (keepalive_pipe[1] >= 0)
        close(keepalive_pipe[1]);
    keepalive_pipe[1] = -1;
}

bool keepalive_is_open() { return keepalive_pipe[0] >= 0; }
