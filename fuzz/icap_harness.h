// Shared part of the ICAP connection targets: the private work directory,
// one input driven through the request loop of a connection process over a
// socket pair, and the checks that no temp file is left behind.
#ifndef TVX_FUZZ_ICAP_HARNESS_H
#define TVX_FUZZ_ICAP_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Longest input fed to one connection.
constexpr size_t fuzz_input_max = 65536;

// Makes a private directory from the mkdtemp pattern and a "cache"
// directory in it; removes both (and whatever fuzz_harness_track names)
// at exit. Returns the private directory without trailing slash.
std::string fuzz_harness_dir(const char *pattern);

// Names a file or directory under the private directory that the exit
// handler removes too (files first, then directories, in reverse order).
void fuzz_harness_track(const std::string &path);

// The Cache directory, with its trailing slash.
const std::string &fuzz_harness_cache();

// Names of the entries of dir ("." and ".." left out); empty when it
// cannot be read.
std::vector<std::string> fuzz_harness_entries(const std::string &dir);

// Runs one input as the byte stream of a client connection, then aborts
// when a temp file is left in Cache.
void fuzz_harness_run(const uint8_t *data, size_t size);

#endif
