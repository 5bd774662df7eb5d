// Category lookups against the names the daemon knows (policy/ucf_format.h).
// Never invents a name: anything else is refused by the caller.
#include "ucfb_category.h"

#include <strings.h>

#include "policy/ucf_format.h"

std::string ucfb_category_type(const std::string &name, bool white)
{
    for (const char *known : ucf_category_names)
        if (strcasecmp(name.c_str(), known) == 0)
            return (white ? std::string(UCF_WHITE_PREFIX) : std::string()) + known;
    return "";
}

bool ucfb_type_known(const std::string &type)
{
    std::string prefix = UCF_WHITE_PREFIX;
    std::string name = type.compare(0, prefix.size(), prefix) == 0 ? type.substr(prefix.size()) : type;
    for (const char *known : ucf_category_names)
        if (name == known)
            return true;
    return false;
}

std::string ucfb_category_list()
{
    std::string s;
    for (const char *known : ucf_category_names)
        s += (s.empty() ? "" : ", ") + std::string(known);
    return s;
}
