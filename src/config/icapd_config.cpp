// Definition of the process-wide configuration object.
// Setters and registration live beside it in the config folder.
#include "config/icapd_config.h"

icapd_config g_config;
