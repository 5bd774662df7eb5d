// The configuration text the stand-in agent serves: the whole file, read at
// start and on SIGHUP. Never changes the text in force unless the new read
// succeeded.
#ifndef AGT_CONFFILE_H
#define AGT_CONFFILE_H

#include <string>

// Reads the regular file at path, at most AGT_CONFIG_MAX bytes, into text.
// On failure text is untouched and error says why.
bool agt_conffile_read(const std::string &path, std::string &text, std::string &error);

#endif
