// cf_require: invariant checks of the configuration layer that stay on in
// release builds. A broken invariant is a programming error, reported as
// std::logic_error with the condition's text; it never aborts the process.
#ifndef TVX_CONF_PARSER_CF_ASSERT_H
#define TVX_CONF_PARSER_CF_ASSERT_H

#include <stdexcept>
#include <string>

inline void cf_require(bool cond, const char *condition_text)
{
    if (!cond)
        throw std::logic_error(std::string("Assertion failed: ") + condition_text);
}

#endif
