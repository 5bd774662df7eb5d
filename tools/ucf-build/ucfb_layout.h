// The layout check of a category file held in memory: magic, section
// table, type string, every section's extent, record sizes, sort order,
// patterns and the parameter groups section 5 points at. Every offset and
// count is checked against the size before it is followed; never reads a
// byte outside the size bytes it is given and never judges the signature.
#ifndef TVX_UCFB_LAYOUT_H
#define TVX_UCFB_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "policy/ucf_format.h"

struct ucfb_extent {
    bool present = false;  // a non-zero table entry
    bool usable = false;   // inside the file and a whole number of records
    uint64_t start = 0, end = 0;
    uint64_t records = 0;  // patterns, addresses, records or groups
};

struct ucfb_layout {
    uint64_t size = 0;
    uint64_t signed_end = 0;  // size - 40: where the signature begins
    bool table_read = false;
    std::vector<uint32_t> table;
    bool type_read = false;
    std::string type;
    uint64_t body_start = 0;  // the byte after the type string's zero
    ucfb_extent sec[UCF_SECTION_COUNT];
    // Offsets into section 0 of its groups, in order, when section 0 is usable.
    std::vector<uint64_t> group_starts;
    uint64_t group_digests = 0;
    // Each problem is one sentence; none means the layout is sound.
    std::vector<std::string> problems;
    // Table entries past the sections known here, with their extents.
    std::vector<std::string> notes;

    bool sound() const { return problems.empty(); }
};

void ucfb_layout_check(const unsigned char *data, size_t size, ucfb_layout &out);

// The index in group_starts of the group at offset off of section 0, or -1.
long long ucfb_group_index(const ucfb_layout &l, uint64_t off);

#endif
