// Category file layout as the loader reads it (policy/ucf_format.h). Sizes
// are added up and checked against 32-bit offsets before one byte is laid
// out, so the image is allocated once.
#include "ucfb_image.h"

#include <cstring>

#include "policy/ucf_format.h"
#include "ucfb_limits.h"

ucfb_rc ucfb_image_build(const std::string &type, const ucfb_records &records, std::vector<unsigned char> &image,
                         std::string &err)
{
    uint32_t table[UCFB_TABLE_ENTRIES] = {};
    uint64_t at = ucf_header_size(UCFB_TABLE_ENTRIES) + type.size() + 1;
    for (int i = 0; i < UCF_SECTION_COUNT; ++i) {
        uint64_t size = records.section_size(i);
        if (size > 0 && at <= UCFB_IMAGE_MAX)
            table[i] = static_cast<uint32_t>(at);
        at += size;
    }
    if (at > UCFB_IMAGE_MAX) {
        err = "the records take " + std::to_string(at) + " bytes; offsets reach " + std::to_string(UCFB_IMAGE_MAX);
        return UCFB_ERR_TOO_BIG;
    }
    table[UCFB_TABLE_ENTRIES - 1] = static_cast<uint32_t>(at);

    image.clear();
    image.reserve(static_cast<size_t>(at) + UCF_SIGNATURE_SIZE);
    image.resize(ucf_header_size(UCFB_TABLE_ENTRIES), 0);  // the reserved bytes stay zero
    memcpy(image.data(), ucf_magic, sizeof ucf_magic);
    ucf_put32(image.data() + 4, UCFB_TABLE_ENTRIES);
    for (uint32_t i = 0; i < UCFB_TABLE_ENTRIES; ++i)
        ucf_put32(image.data() + UCF_TABLE_OFFSET + 4 * i, table[i]);
    image.insert(image.end(), type.begin(), type.end());
    image.push_back(0);
    for (int i = 0; i < UCF_SECTION_COUNT; ++i)
        records.append_section(i, image);
    if (image.size() != at) {
        err = "laid out " + std::to_string(image.size()) + " bytes where " + std::to_string(at) + " were counted";
        return UCFB_ERR_LAYOUT;
    }
    return UCFB_OK;
}
