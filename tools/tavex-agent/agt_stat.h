// The statistics exchange of the stand-in agent: reads one record within its
// bounds, writes it as a JSON line and answers it. Never answers a record it
// did not read whole, and never writes a line for one.
#ifndef AGT_STAT_H
#define AGT_STAT_H

#include "agt_session.h"
#include "agt_wire.h"

// Reads the rest of the record after the command word, answers it on fd
// and returns an agt_exchange_result.
int agt_stat_exchange(agt_reader &r, int fd, const agt_settings &s);

#endif
