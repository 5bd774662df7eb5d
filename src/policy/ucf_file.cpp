// Loading one URL-category file: open, map, format check, signature,
// section extents. Every offset the file states is checked against the
// file's size before anything is read through it.
#include "policy/ucf_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/log.h"
#include "policy/ucf_signature.h"

ucf_layout_status ucf_layout(const unsigned char *data, size_t size, std::string &type,
                             ucf_extent sections[UCF_SECTION_COUNT])
{
    for (int i = 0; i < UCF_SECTION_COUNT; ++i)
        sections[i] = ucf_extent();
    if (size < UCF_MIN_SIZE || memcmp(data, ucf_magic, sizeof ucf_magic) != 0)
        return UCF_LAYOUT_FORMAT;

    // The header must end before the first section; every section lies
    // before the signature.
    const uint64_t signed_size = size - UCF_SIGNATURE_SIZE;
    const uint64_t n = ucf_get32(data + 4);
    const uint64_t h = ucf_header_size(n);
    if (h >= size)
        return UCF_LAYOUT_OFFSETS;
    const unsigned char *table = data + UCF_TABLE_OFFSET;
    uint64_t first = 0;
    bool outside = false;
    for (uint64_t i = 0; i < n; ++i) {
        uint64_t off = ucf_get32(table + 4 * i);
        if (off == 0)
            continue;
        if (!first)
            first = off;
        if (off > signed_size)
            outside = true;
    }
    if (first && h >= first)
        return UCF_LAYOUT_OFFSETS;
    if (outside)
        return UCF_LAYOUT_FORMAT;

    const unsigned char *t = data + h;
    const void *nul = memchr(t, 0, size - h);
    type.assign(reinterpret_cast<const char *>(t), nul ? static_cast<const unsigned char *>(nul) - t : size - h);

    for (uint64_t i = 0; i < n && i < UCF_SECTION_COUNT; ++i) {
        uint64_t begin = ucf_get32(table + 4 * i);
        if (begin == 0)
            continue;
        uint64_t end = 0;
        for (uint64_t j = i + 1; j < n && !end; ++j)
            end = ucf_get32(table + 4 * j);
        if (!end)
            continue;  // no later mark: absent
        if (end < begin)
            return UCF_LAYOUT_FORMAT;
        sections[i].begin = data + begin;
        sections[i].end = data + end;
    }
    return UCF_LAYOUT_OK;
}

UcfFile::UcfFile(const unsigned char *data, size_t size, bool mapped) : data_(data), size_(size), mapped_(mapped)
{
    ucf_layout(data_, size_, type_, sections_);
    urls_.build(sections_[UCF_SEC_URLS].begin, sections_[UCF_SEC_URLS].end, UCF_URL_RECORD);
    url_params_.build(sections_[UCF_SEC_URL_PARAMS].begin, sections_[UCF_SEC_URL_PARAMS].end,
                      UCF_URL_PARAMS_RECORD);
}

UcfFile::~UcfFile()
{
    if (mapped_)
        munmap(const_cast<unsigned char *>(data_), size_);
}

std::unique_ptr<UcfFile> ucf_file_open(const std::string &path)
{
    const char *name = path.c_str();
    // Non-blocking: a FIFO put in the directory must not hang the load.
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        icapd_log(LOG_L_ERROR, "error in open file %s for reading: %s\n", name, strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        icapd_log(LOG_L_ERROR, "stat error for file %s: %s\n", name, strerror(errno));
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode) || st.st_size <= 0) {
        // mmap of anything but a non-empty regular file fails the same way.
        icapd_log(LOG_L_ERROR, "mmap error for file %s: %s\n", name, strerror(S_ISREG(st.st_mode) ? EINVAL : ENODEV));
        close(fd);
        return nullptr;
    }
    size_t size = static_cast<size_t>(st.st_size);
    void *map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    int map_errno = errno;
    close(fd);
    if (map == MAP_FAILED) {
        icapd_log(LOG_L_ERROR, "mmap error for file %s: %s\n", name, strerror(map_errno));
        return nullptr;
    }
    const unsigned char *data = static_cast<const unsigned char *>(map);
    icapd_log(LOG_L_TRACE, "Parse ucf file %s...\n", name);

    std::string type;
    ucf_extent sections[UCF_SECTION_COUNT];
    if (size < UCF_MIN_SIZE || memcmp(data, ucf_magic, sizeof ucf_magic) != 0) {
        icapd_log(LOG_L_ERROR, "Wrong ucf format in file %s...\n", name);
        munmap(map, size);
        return nullptr;
    }
    if (!ucf_signature_valid(data, size)) {
        icapd_log(LOG_L_ERROR, "Wrong signature in url file %s\n", name);
        munmap(map, size);
        return nullptr;
    }
    ucf_layout_status layout = ucf_layout(data, size, type, sections);
    if (layout != UCF_LAYOUT_OK) {
        icapd_log(LOG_L_ERROR, layout == UCF_LAYOUT_OFFSETS ? "Wrong ucf offsets in file %s...\n"
                                                            : "Wrong ucf format in file %s...\n",
                  name);
        munmap(map, size);
        return nullptr;
    }
    // Lookups touch a few records per search: no read-ahead around them,
    // so that a connection process maps few pages beyond those it searches.
    madvise(map, size, MADV_RANDOM);
    std::unique_ptr<UcfFile> file(new UcfFile(data, size, true));
    icapd_log(LOG_L_INFO, "Success initialize ucf-file %s (type: %s, size: %i)\n", name, file->type().c_str(),
              static_cast<int>(size > INT32_MAX ? INT32_MAX : size));
    return file;
}
