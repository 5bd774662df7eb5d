// The configuration exchange of the stand-in agent: checks the daemon's
// request word by word and answers with the text in force, or with the fault
// --fail asks for. Never reads the configuration file itself.
#ifndef AGT_CONFIG_EXCHANGE_H
#define AGT_CONFIG_EXCHANGE_H

#include "agt_session.h"
#include "agt_wire.h"

// Reads the rest of the request after the command word, answers it on fd
// and returns an agt_exchange_result.
int agt_config_exchange(agt_reader &r, int fd, const agt_settings &s);

#endif
