// cf_parser, the parse context of one load: per-type parameter tables (names
// in any case) and the grammar's callbacks for if-block expressions, [def]
// functions and MIME blocks. Never holds a configuration value itself.
//
// Registration (by the configuration object, before the parse):
//     p.register_param<bool>("BlockChats", set_global, 6, set_override);
//     p.register_param<digital_t>("Timeout", set_timeout);       // global only
// Value types: std::string, bool, digital_t, cf_parser::string_list,
// unsigned long (size). Setters and override setters take a const T&.
#ifndef TVX_CONF_PARSER_CF_PARSER_H
#define TVX_CONF_PARSER_CF_PARSER_H

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "conf_parser/expr.h"
#include "conf_parser/values.h"

namespace id {
// The override identifier of a parameter that cannot be overridden.
constexpr int global_only = -1;
}  // namespace id

// Orders names by their characters after tolower; a prefix sorts first.
struct cf_nocase_less {
    bool operator()(const std::string &a, const std::string &b) const;
};

// Text to the value type of a parameter table, by the value parsers
// (conversion errors throw their messages). Defined for the five types.
template <class T>
T cf_convert(const std::string &text);
template <>
std::string cf_convert<std::string>(const std::string &text);
template <>
bool cf_convert<bool>(const std::string &text);
template <>
digital_t cf_convert<digital_t>(const std::string &text);
template <>
std::vector<std::string> cf_convert<std::vector<std::string>>(const std::string &text);
template <>
unsigned long cf_convert<unsigned long>(const std::string &text);

// One registered parameter of type T.
template <class T>
struct cf_param {
    std::string name;                     // as registered
    std::function<void(const T &)> set;   // global value (lists: append)
    int rid = id::global_only;            // override identifier
    std::function<void(const T &)> pco;   // override setter, empty when global only
};

class cf_parser {
public:
    typedef std::vector<std::string> string_list;
    template <class T>
    using table = std::map<std::string, cf_param<T>, cf_nocase_less>;

    // Adds a parameter to T's table. Throws std::runtime_error
    // "Param already registered: <name>" when T's table holds the name in any
    // case, and std::logic_error when the rid/pco pair is inconsistent (an
    // overridable parameter needs both, a global-only one neither) or the
    // setter is empty.
    template <class T>
    void register_param(const std::string &name, std::function<void(const T &)> setter,
                        int rid = id::global_only, std::function<void(const T &)> pco = nullptr);

    // One assignment "name = value": the tables are consulted in the order
    // string, bool, digital_t, string list, size; the first that holds the
    // name converts the value (conversion errors propagate) and then calls
    // the setter (global) or the override setter (inside an if-block; a
    // global-only parameter there throws "Param <name> is global only").
    // Returns false when no table knows the name.
    bool parse(const std::string &name, const std::string &value, bool global);
    // The same for one element of a comma-separated list, string-list table only.
    bool parse_list(const std::string &name, const std::string &element, bool global);

    // The registered entry for name, or null (mostly for tests and dumps).
    template <class T>
    const cf_param<T> *find(const std::string &name) const;

    // Callbacks bound by the configuration loader.
    std::function<void(const expr::expression_ptr &)> add_expr;  // new match block
    std::function<void(const std::string &, const expr::expression_ptr &)> add_func;
    std::function<expr::expression_ptr(const std::string &)> get_func;  // throws if unknown
    std::function<void(const std::string &)> add_mime_block;  // text of one MIME block

    // Run a callback, or throw "<run_callback_...>: ... not registered" when
    // it is empty.
    void run_callback_add_expr(const expr::expression_ptr &e) const;
    void run_callback_add_func(const std::string &name, const expr::expression_ptr &e) const;
    expr::expression_ptr run_callback_get_func(const std::string &name) const;
    void run_callback_add_mime_block(const std::string &text) const;

private:
    template <class T>
    table<T> &table_of() { return std::get<table<T>>(tables_); }
    template <class T>
    const table<T> &table_of() const { return std::get<table<T>>(tables_); }
    template <class T>
    bool handle(const std::string &name, const std::string &value, bool global);

    std::tuple<table<std::string>, table<bool>, table<digital_t>, table<string_list>,
               table<unsigned long>>
        tables_;
};

#endif
