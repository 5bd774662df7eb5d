// Reading inputs line by line into records, one line in memory at a time.
// A line that is no entry is counted and quoted, never fatal; a file that
// cannot be read is.
#include "ucfb_inputs.h"

#include <sys/stat.h>

#include "ucfb_entry.h"
#include "ucfb_lines.h"
#include "ucfb_quote.h"

namespace {

// A folder's list files, and the one that is noted and left alone.
constexpr const char *k_domains_file = "domains";
constexpr const char *k_urls_file = "urls";
constexpr const char *k_expressions_file = "expressions";

struct tally {
    size_t taken = 0, duplicates = 0, rejected = 0;
};

void reject(FILE *report, const std::string &path, tally &t, size_t line, std::string_view text,
            const std::string &why)
{
    if (t.rejected++ < UCFB_REJECTS_SHOWN)
        fprintf(report, "ucf-build: %s:%zu: %s: %s\n", path.c_str(), line, why.c_str(),
                ucfb_quote(text, UCFB_QUOTE_MAX).c_str());
}

ucfb_rc read_list(const std::string &path, bool substrings, ucfb_records &records, FILE *report, std::string &err)
{
    ucfb_line_reader reader;
    ucfb_rc rc = reader.open(path, err);
    if (rc != UCFB_OK)
        return rc;
    tally t;
    ucfb_entry e;
    std::string_view text;
    for (;;) {
        ucfb_line_kind kind = reader.next(text);
        if (kind == UCFB_LINE_END)
            break;
        if (kind == UCFB_LINE_ERROR) {
            err = reader.error();
            return UCFB_ERR_IO;
        }
        if (kind == UCFB_LINE_TOO_LONG) {
            reject(report, path, t, reader.number(), text,
                   "longer than " + std::to_string(UCFB_LINE_MAX) + " bytes");
            continue;
        }
        if (kind == UCFB_LINE_NUL) {
            reject(report, path, t, reader.number(), text, "a NUL byte in the line");
            continue;
        }
        if (substrings) {
            ++t.taken;
            if (!records.add_pattern(text))
                ++t.duplicates;
            continue;
        }
        ucfb_entry_rc erc = ucfb_entry_parse(text, e);
        if (erc != UCFB_ENTRY_OK) {
            reject(report, path, t, reader.number(), text, ucfb_entry_reason(erc));
            continue;
        }
        records.add(e);
        ++t.taken;
    }
    if (t.rejected > UCFB_REJECTS_SHOWN)
        fprintf(report, "ucf-build: %s: %zu more rejected lines not shown\n", path.c_str(),
                t.rejected - UCFB_REJECTS_SHOWN);
    fprintf(report, "ucf-build: %s: %zu lines taken, %zu rejected", path.c_str(), t.taken, t.rejected);
    if (substrings && t.duplicates > 0)
        fprintf(report, " (%zu patterns seen before, ignoring case)", t.duplicates);
    fputc('\n', report);
    return UCFB_OK;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

ucfb_rc read_folder(const std::string &dir, ucfb_records &records, FILE *report, std::string &err)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err = dir + " is not a folder";
        return UCFB_ERR_IO;
    }
    std::string domains = dir + "/" + k_domains_file, urls = dir + "/" + k_urls_file;
    bool have_domains = exists(domains), have_urls = exists(urls);
    if (!have_domains && !have_urls) {
        err = dir + " holds neither a \"" + k_domains_file + "\" nor a \"" + k_urls_file + "\" list";
        return UCFB_ERR_IO;
    }
    if (exists(dir + "/" + k_expressions_file))
        fprintf(report, "ucf-build: %s/%s: expression lists are not compiled; ignored\n", dir.c_str(),
                k_expressions_file);
    ucfb_rc rc = UCFB_OK;
    if (have_domains)
        rc = read_list(domains, false, records, report, err);
    if (rc == UCFB_OK && have_urls)
        rc = read_list(urls, false, records, report, err);
    return rc;
}

}  // namespace

ucfb_rc ucfb_input_read(const ucfb_input &in, ucfb_records &records, FILE *report, std::string &err)
{
    switch (in.kind) {
    case UCFB_INPUT_URLS: return read_list(in.path, false, records, report, err);
    case UCFB_INPUT_SUBSTRINGS: return read_list(in.path, true, records, report, err);
    case UCFB_INPUT_LISTS: return read_folder(in.path, records, report, err);
    }
    return UCFB_ERR_USAGE;
}
