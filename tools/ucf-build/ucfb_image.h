// The bytes of a category file before its signature: magic, a section
// table of UCFB_TABLE_ENTRIES entries, the reserved bytes, the type string
// and the sections in order. Lays out finished records; never signs.
#ifndef TVX_UCFB_IMAGE_H
#define TVX_UCFB_IMAGE_H

#include <string>
#include <vector>

#include "ucfb_records.h"
#include "ucfb_result.h"

// An empty section gets offset 0, a present one the offset of its first
// byte; the last entry is where the signature will begin, so a present
// section always ends at the next non-zero entry after its own.
ucfb_rc ucfb_image_build(const std::string &type, const ucfb_records &records, std::vector<unsigned char> &image,
                         std::string &err);

#endif
