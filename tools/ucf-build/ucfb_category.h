// Category names on the command line and type strings in files: a name is
// one of ucf_category_names, compared ignoring case; a type is that name in
// lower case, or "whitelist_" and the name. Lookups only.
#ifndef TVX_UCFB_CATEGORY_H
#define TVX_UCFB_CATEGORY_H

#include <string>

// The type string for a category name, or "" when the name is none.
std::string ucfb_category_type(const std::string &name, bool white);

// True when a file's type string names a category or its white list.
bool ucfb_type_known(const std::string &type);

// The category names, separated by ", ", for messages.
std::string ucfb_category_list();

#endif
