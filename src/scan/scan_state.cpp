// Definitions of the scanning-daemon client's process-wide values.
#include "scan/scan_state.h"

unsigned long virus_total = 0;
std::string daemon_release;
