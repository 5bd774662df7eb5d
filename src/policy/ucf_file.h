// UcfFile: one loaded URL-category file, a read-only shared mapping with
// its type string and the extents of its sections, every one checked to
// lie inside the signed part of the file. Opening logs what is wrong with
// a file; matching (ucf_match.cpp) never logs a file error.
#ifndef TVX_POLICY_UCF_FILE_H
#define TVX_POLICY_UCF_FILE_H

#include <cstddef>
#include <memory>
#include <string>

#include "policy/ucf_format.h"
#include "policy/ucf_index.h"

struct ParsedUrl;

struct ucf_extent {
    const unsigned char *begin = nullptr;
    const unsigned char *end = nullptr;
    size_t size() const { return static_cast<size_t>(end - begin); }
};

enum ucf_layout_status : int {
    UCF_LAYOUT_OK = 0,
    UCF_LAYOUT_FORMAT = 1,   // too small, not the magic, or a section outside the signed part
    UCF_LAYOUT_OFFSETS = 2,  // the header reaches the first section or the end of the file
};

// Reads the header of the size bytes at data (signature not checked):
// the type string and the extent of sections 0 to 5. A section that is
// absent has an empty extent.
ucf_layout_status ucf_layout(const unsigned char *data, size_t size, std::string &type,
                             ucf_extent sections[UCF_SECTION_COUNT]);

class UcfFile {
public:
    // A file over size bytes at data whose layout passed ucf_layout. With
    // mapped set, the bytes are a mapping that the file unmaps when dropped.
    UcfFile(const unsigned char *data, size_t size, bool mapped);
    ~UcfFile();
    UcfFile(const UcfFile &) = delete;
    UcfFile &operator=(const UcfFile &) = delete;

    // One file against one URL: address, substrings, then digests by
    // level. On success out receives what the matching entry stood for.
    bool match(const char *text, const ParsedUrl &url, std::string &out) const;

    const unsigned char *data() const { return data_; }
    size_t size() const { return size_; }
    const std::string &type() const { return type_; }
    const ucf_extent &section(int i) const { return sections_[i]; }

private:
    const unsigned char *data_;
    size_t size_;
    bool mapped_;
    std::string type_;
    ucf_extent sections_[UCF_SECTION_COUNT];
    ucf_index urls_;         // section 4
    ucf_index url_params_;   // section 5

    bool match_address(const char *text, const ParsedUrl &url, std::string &out) const;
    bool match_substring(const char *text, std::string &out) const;
    bool match_level(const char *text, const ParsedUrl &url, int level, std::string &out, bool &done) const;
    bool match_groups(const unsigned char *record, const ParsedUrl &url) const;
};

// Opens, maps, checks and verifies the file at path, logging each failure
// ("Wrong ucf format ...", "Wrong signature ...", "Wrong ucf offsets ...").
// Null when the file cannot be used.
std::unique_ptr<UcfFile> ucf_file_open(const std::string &path);

#endif
