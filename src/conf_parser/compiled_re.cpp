// Compilation and matching of the configuration's regular expressions with
// regcomp/regexec. The system's own error text is never shown to the user.
#include "conf_parser/compiled_re.h"

#include <stdexcept>

void compiled_re::re_free::operator()(regex_t *re) const
{
    regfree(re);
    delete re;
}

compiled_re::compiled_re(const std::string &pattern) : pattern_(pattern)
{
    std::unique_ptr<regex_t> re(new regex_t);
    if (regcomp(re.get(), pattern_.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0)
        throw std::runtime_error("Invalid regex: \"" + pattern_ + "\"");
    re_.reset(re.release());
}

// A moved-from object copies as another empty shell.
compiled_re::compiled_re(const compiled_re &other) : pattern_(other.pattern_)
{
    if (other.re_)
        *this = compiled_re(pattern_);
}

compiled_re &compiled_re::operator=(const compiled_re &other)
{
    if (this != &other)
        *this = compiled_re(other);
    return *this;
}

bool compiled_re::match(const std::string &text) const
{
    if (!re_)
        throw std::runtime_error("Error in regexec()");
    int rc = regexec(re_.get(), text.c_str(), 0, nullptr, 0);
    if (rc == 0)
        return true;
    if (rc == REG_NOMATCH)
        return false;
    throw std::runtime_error("Error in regexec()");
}
