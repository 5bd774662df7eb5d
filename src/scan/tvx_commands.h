// The two informational commands of the scanning daemon: the virus-base
// listing that feeds g_tvx.virus_total (and the ISTAG) and the information text
// that feeds g_tvx.release. Both use and, when needed, open the given
// daemon connection.
#ifndef TVX_SCAN_TVX_COMMANDS_H
#define TVX_SCAN_TVX_COMMANDS_H

// Command 3: sets g_tvx.virus_total to the sum of the bases' record counts.
// Returns 200, or 0 on any failure (g_tvx.virus_total then holds the sum of the
// records read so far).
int tvx_get_virus_num(int &fd);

// Command 4: sets g_tvx.release. Returns 200 or 0.
int tvx_get_info(int &fd);

#endif
