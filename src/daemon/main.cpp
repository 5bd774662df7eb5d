// Entry point of tavex-icapd: hands the command line to the start-up code.
// Nothing else lives here so that every other piece can be linked by tests.
#include <cstdio>
#include <cstring>

#include "config/icapd_config.h"

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "-v") || !strcmp(argv[i], "--version")) {
            printf("Tavex (R) icap daemon, version %s (%s)\n", TVX_VERSION, __DATE__);
            return 0;
        }
    }
    fprintf(stderr, "the daemon is not built yet; try --version\n");
    return 1;
}
