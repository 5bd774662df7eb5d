// Expansion of the request variables, the time-of-day parser and the [def]
// function table. The context only reads the request it was built for.
#include "conf_parser/cf_expr.h"

#include <boost/lexical_cast.hpp>
#include <cstring>
#include <ctime>

#include "conf_parser/cf_assert.h"
#include "conf_parser/expr.h"
#include "log/log.h"

static cf_time parse_time_or_reason(const std::string &t)
{
    std::string::size_type colon = t.find(':');
    if (colon == std::string::npos)
        throw std::runtime_error("no colon");
    std::string h = t.substr(0, colon), m = t.substr(colon + 1);
    if (h.empty() || h.size() > 2)
        throw std::runtime_error("invalid hour");
    unsigned hour = cf_to_unsigned(h);
    if (m.size() != 2)
        throw std::runtime_error("invalid minutes");
    unsigned minute = cf_to_unsigned(m);
    if (minute > 59 || hour > 23)
        throw std::runtime_error("values out of range");
    cf_time v;
    v.hour = (int)hour;
    v.minute = (int)minute;
    return v;
}

cf_time cf_parse_time(const std::string &text)
{
    try {
        return parse_time_or_reason(text);
    } catch (const std::exception &e) {
        throw std::runtime_error("Error parsing time from string \"" + text + "\": " + e.what());
    }
}

bool expr_context::is_string_var(const std::string &name)
{
    return name == "request_url" || name == "request_username";
}

bool expr_context::is_cidr_var(const std::string &name)
{
    return name == "request_ip";
}

bool expr_context::is_time_var(const std::string &name)
{
    return name == "system_time";
}

// A request text field up to its NUL, never past the array's end.
template <size_t N>
static std::string field_text(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

std::string expr_context::expand_string(const std::string &name) const
{
    if (name == "request_url")
        return field_text(rq.url);
    if (name == "request_username")
        return field_text(rq.client_username);
    throw var_not_found(name);
}

// The address comes from the client: any text that is not an IPv4 address
// or network (a bad mask included) is the undefined address, never an error.
cidr_ptr expr_context::expand_cidr(const std::string &name) const
{
    if (!is_cidr_var(name))
        throw var_not_found(name);
    std::string text = field_text(rq.client_ip);
    try {
        return make_cidr(text);
    } catch (const make_cidr_error &) {
    } catch (const boost::bad_lexical_cast &) {
    }
    icapd_log(LOG_L_FLOW,
              "Expanding request_ip variable: error parsing cidr from \"%s\", using \"undefined\" value\n",
              text.c_str());
    return cidr_ptr();
}

cf_time expr_context::expand_time(const std::string &name) const
{
    if (!is_time_var(name))
        throw var_not_found(name);
    cf_require(rq.request_time != -1, "rq.request_time!=-1");
    struct tm tm;
    if (localtime_r(&rq.request_time, &tm) == nullptr)
        throw std::runtime_error("Error converting request time");
    cf_time v;
    v.hour = tm.tm_hour;
    v.minute = tm.tm_min;
    return v;
}

void cf_functions::add(const std::string &name, const expression_ptr &e)
{
    cf_require(e != nullptr, "e!=0");
    for (const auto &f : funcs_)
        if (f.first == name)
            throw std::runtime_error("Function " + name + " already exists");
    funcs_.emplace_back(name, e);
}

cf_functions::expression_ptr cf_functions::get(const std::string &name) const
{
    for (const auto &f : funcs_)
        if (f.first == name)
            return f.second;
    throw std::runtime_error("Function " + name + " not found");
}

void cf_functions::dump(std::ostream &os) const
{
    for (const auto &f : funcs_) {
        os << "\nFUNCTION: " << f.first << "\n";
        f.second->print(os, 0);
    }
}
