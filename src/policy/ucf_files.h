// The URL-category databases of one configuration: the eleven categories
// with their files and white files, loaded from UcfDirectory (installing
// delivered ".cache" updates first), and the per-request question whether
// a URL falls into a category that is blocked for it. Knows nothing of
// requests beyond the few texts it is handed.
#ifndef TVX_POLICY_UCF_FILES_H
#define TVX_POLICY_UCF_FILES_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "policy/host_list.h"
#include "policy/ucf_file.h"
#include "policy/ucf_format.h"

struct ucf_category {
    std::vector<std::unique_ptr<UcfFile>> files;  // in load order
    std::vector<std::unique_ptr<UcfFile>> white;  // "whitelist_" files
};

struct ucf_categories {
    ucf_category category[UCF_CATEGORY_COUNT];

    // Drops every file (unmapping it).
    void clear();
    size_t file_count() const;
};

// Longest URL decoded for the category match; the rest of a longer URL is
// not looked at.
constexpr size_t UCF_URL_MAX = 9999;

// Empties db and loads every ".ucf" file of dir (and every ".cache" file,
// after renaming it over its target) into its category. A file that cannot
// be used is logged and skipped. False only when dir cannot be opened.
bool ucf_files_load(ucf_categories &db, const std::string &dir);

// What the category check needs of one request.
struct ucf_query {
    const char *url = "";        // the request URL
    const char *client_ip = "";  // "" when the request has none
    const host_list *white_hosts = nullptr;  // WhiteUcfFiles
    // Whether category i is switched on for this request; asked in
    // category order, only for categories that are reached.
    std::function<bool(int)> enabled;
};

// True when a file of an enabled category matches the URL and no white
// file of that category does; out then holds the matched text. Logs the
// block at level 128.
bool ucf_files_is_blocked(const ucf_categories &db, const ucf_query &q, std::string &out);

#endif
