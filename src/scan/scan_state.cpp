// Definitions of the scanning-daemon client's process-wide values.
#include "scan/scan_state.h"

int tvx_daemon_fd = -1;
unsigned long virus_total = 0;
std::string daemon_release;
uint32_t last_response_code = 0;
int local_scan_saved = -1;
