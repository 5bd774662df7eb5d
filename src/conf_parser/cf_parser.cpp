// The parameter registry of one load: registration, case-insensitive
// lookup, value conversion and dispatch to global or override setters, and
// the grammar's callbacks. Never stores a configuration value itself.
#include "conf_parser/cf_parser.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "conf_parser/cf_assert.h"

bool cf_nocase_less::operator()(const std::string &a, const std::string &b) const
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower((unsigned char)x) < std::tolower((unsigned char)y);
    });
}

template <>
std::string cf_convert<std::string>(const std::string &text) { return text; }
template <>
bool cf_convert<bool>(const std::string &text) { return cf_parse_bool(text); }
template <>
digital_t cf_convert<digital_t>(const std::string &text) { return cf_parse_digital(text); }
template <>
cf_parser::string_list cf_convert<cf_parser::string_list>(const std::string &text)
{
    return cf_parse_string_list(text);
}
template <>
unsigned long cf_convert<unsigned long>(const std::string &text) { return cf_parse_size(text); }

template <class T>
void cf_parser::register_param(const std::string &name, std::function<void(const T &)> setter,
                               int rid, std::function<void(const T &)> pco)
{
    cf_require((rid == id::global_only && !pco) || (rid != -1 && pco),
               "(rid==id::global_only && pco==0) || (rid!=-1 && pco!=0)");
    cf_require(static_cast<bool>(setter), "setter!=0");
    table<T> &t = table_of<T>();
    if (t.count(name))
        throw std::runtime_error("Param already registered: " + name);
    cf_param<T> &p = t[name];
    p.name = name;
    p.set = std::move(setter);
    p.rid = rid;
    p.pco = std::move(pco);
}

template void cf_parser::register_param<std::string>(const std::string &, std::function<void(const std::string &)>, int, std::function<void(const std::string &)>);
template void cf_parser::register_param<bool>(const std::string &, std::function<void(const bool &)>, int, std::function<void(const bool &)>);
template void cf_parser::register_param<digital_t>(const std::string &, std::function<void(const digital_t &)>, int, std::function<void(const digital_t &)>);
template void cf_parser::register_param<cf_parser::string_list>(const std::string &, std::function<void(const string_list &)>, int, std::function<void(const string_list &)>);
template void cf_parser::register_param<unsigned long>(const std::string &, std::function<void(const unsigned long &)>, int, std::function<void(const unsigned long &)>);

template <class T>
const cf_param<T> *cf_parser::find(const std::string &name) const
{
    const table<T> &t = table_of<T>();
    auto it = t.find(name);
    return it == t.end() ? nullptr : &it->second;
}

template const cf_param<std::string> *cf_parser::find<std::string>(const std::string &) const;
template const cf_param<bool> *cf_parser::find<bool>(const std::string &) const;
template const cf_param<digital_t> *cf_parser::find<digital_t>(const std::string &) const;
template const cf_param<cf_parser::string_list> *cf_parser::find<cf_parser::string_list>(const std::string &) const;
template const cf_param<unsigned long> *cf_parser::find<unsigned long>(const std::string &) const;

// The value is converted before the scope is checked, so a bad value is
// reported as such even where the parameter may not be assigned at all.
template <class T>
bool cf_parser::handle(const std::string &name, const std::string &value, bool global)
{
    table<T> &t = table_of<T>();
    auto it = t.find(name);
    if (it == t.end())
        return false;
    T converted = cf_convert<T>(value);
    const cf_param<T> &p = it->second;
    if (global)
        p.set(converted);
    else if (p.rid == id::global_only)
        throw std::runtime_error("Param " + name + " is global only");
    else
        p.pco(converted);
    return true;
}

bool cf_parser::parse(const std::string &name, const std::string &value, bool global)
{
    return handle<std::string>(name, value, global) || handle<bool>(name, value, global) ||
           handle<digital_t>(name, value, global) || handle<string_list>(name, value, global) ||
           handle<unsigned long>(name, value, global);
}

bool cf_parser::parse_list(const std::string &name, const std::string &element, bool global)
{
    return handle<string_list>(name, element, global);
}

void cf_parser::run_callback_add_expr(const expr::expression_ptr &e) const
{
    if (!add_expr)
        throw std::runtime_error("run_callback_add_expr: expression callback not registered");
    add_expr(e);
}

void cf_parser::run_callback_add_func(const std::string &name, const expr::expression_ptr &e) const
{
    if (!add_func)
        throw std::runtime_error("run_callback_add_func: add function callback not registered");
    add_func(name, e);
}

expr::expression_ptr cf_parser::run_callback_get_func(const std::string &name) const
{
    if (!get_func)
        throw std::runtime_error("run_callback_get_func: get function callback not registered");
    return get_func(name);
}

void cf_parser::run_callback_add_mime_block(const std::string &text) const
{
    if (!add_mime_block)
        throw std::runtime_error(
            "run_callback_add_mime_block: mime block callback not registered");
    add_mime_block(text);
}
