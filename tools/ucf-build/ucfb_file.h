// Whole-file reads bounded before anything is allocated, and writes that
// put a complete file in place or nothing: a mkstemp file beside the
// target, written, synced, then renamed (or linked) over. Never leaves a
// half-written file under the target's name.
#ifndef TVX_UCFB_FILE_H
#define TVX_UCFB_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "ucfb_result.h"

// Reads the whole regular file at path. A file larger than max is not
// read: UCFB_ERR_TOO_BIG, with its size in size_seen.
ucfb_rc ucfb_read_whole(const std::string &path, uint64_t max, std::vector<unsigned char> &out, uint64_t &size_seen,
                        std::string &err);

enum ucfb_replace {
    UCFB_REPLACE,        // an existing file of that name is replaced
    UCFB_KEEP_EXISTING,  // an existing file is left alone: UCFB_ERR_EXISTS
};

// Writes len bytes as a new file named path with the given mode.
ucfb_rc ucfb_write_new(const std::string &path, const void *data, size_t len, mode_t mode, ucfb_replace how,
                       std::string &err);

#endif
