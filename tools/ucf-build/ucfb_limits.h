// Every bound ucf-build works to, each defined once: list lines, paths,
// parameters per line, key and category file sizes, the key's bit sizes,
// what a report shows. Constants only; nothing here is computed or read.
#ifndef TVX_UCFB_LIMITS_H
#define TVX_UCFB_LIMITS_H

#include <cstddef>
#include <cstdint>

#include "policy/ucf_format.h"

// Longest list line, in bytes, after the trailing "\r" is taken off.
constexpr size_t UCFB_LINE_MAX = 4096;
// Longest resource path: its length is stored in 16 bits.
constexpr size_t UCFB_PATH_MAX = 65534;
// Most parameters one line may require: the group's count is one byte.
constexpr size_t UCFB_PIECES_MAX = 255;
// Most labels of a host name: levels above it would alias the address levels.
constexpr size_t UCFB_LABELS_MAX = UCF_LEVEL_NAME_MAX;

// Rejected lines quoted per input, and how much of each line is quoted.
constexpr size_t UCFB_REJECTS_SHOWN = 5;
constexpr size_t UCFB_QUOTE_MAX = 80;

// Key files are a few lines; anything larger is not one.
constexpr size_t UCFB_KEY_FILE_MAX = 64 * 1024;
// Offsets are 32-bit: every byte before the signature lies below 4 GiB.
constexpr uint64_t UCFB_IMAGE_MAX = 0xFFFFFFFFull;
// The largest file --dump reads: an image of UCFB_IMAGE_MAX and its signature.
constexpr uint64_t UCFB_DUMP_MAX = UCFB_IMAGE_MAX + UCF_SIGNATURE_SIZE;

// Bytes read from a file per read(2), and the most written per write(2).
constexpr size_t UCFB_READ_CHUNK = 64 * 1024;
constexpr size_t UCFB_WRITE_CHUNK = 1024 * 1024;

// The daemon's key form: DSA with a 512-bit p and a 160-bit q.
constexpr int UCFB_P_BITS = 512;
constexpr int UCFB_Q_BITS = 160;
// Candidates for p tried per q before a new q is drawn.
constexpr int UCFB_P_TRIES = 4096;

// Entries of the section table written: sections 0..5 and the end mark.
constexpr uint32_t UCFB_TABLE_ENTRIES = UCF_SECTION_COUNT + 1;

#endif
