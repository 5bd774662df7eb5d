// The scanning-daemon client's state of this process.
#include "scan/scan_state.h"

tvx_client g_tvx;
