// The built-in category-file key and the key-file reader. The built-in
// values come from the header the build generates from the configured key
// file; nothing here is secret.
#include "policy/ucf_key.h"

#include <cctype>
#include <sstream>

#include "ucf_builtin_key.h"

const ucf_dsa_key &ucf_builtin_key()
{
    static const ucf_dsa_key key{UCF_BUILTIN_KEY_P, UCF_BUILTIN_KEY_Q, UCF_BUILTIN_KEY_G, UCF_BUILTIN_KEY_Y, ""};
    return key;
}

bool ucf_builtin_key_is_test() { return UCF_BUILTIN_KEY_IS_TEST; }

namespace {

bool all_hex(const std::string &s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

}  // namespace

bool ucf_key_parse(const std::string &text, ucf_dsa_key &key, std::string &err)
{
    key = ucf_dsa_key();
    std::istringstream in(text);
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        std::istringstream fields(line.substr(start));
        std::string name, value, extra;
        fields >> name >> value;
        if (!(fields >> extra).fail() || name.size() != 1 || !all_hex(value)) {
            err = "line " + std::to_string(lineno) + " is not \"NAME HEX\"";
            return false;
        }
        std::string *slot = nullptr;
        switch (name[0]) {
        case 'p': slot = &key.p; break;
        case 'q': slot = &key.q; break;
        case 'g': slot = &key.g; break;
        case 'y': slot = &key.y; break;
        case 'x': slot = &key.x; break;
        default:
            err = "line " + std::to_string(lineno) + " names no key value";
            return false;
        }
        *slot = value;
    }
    if (key.p.empty() || key.q.empty() || key.g.empty() || key.y.empty()) {
        err = "p, q, g or y is missing";
        return false;
    }
    return true;
}
