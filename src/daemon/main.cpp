// Entry point of tavex-icapd: hands the command line to the start-up code.
// Nothing else lives here so that every other piece can be linked by tests.
#include "daemon/daemon.h"

int main(int argc, char **argv) { return icapd_main(argc, argv); }
