// The evaluation context of one request (its four variables), the time of
// day with its parser, and the function table of [def] sections. Reads the
// request only; caches nothing between evaluations.
#ifndef TVX_CONF_PARSER_CF_EXPR_H
#define TVX_CONF_PARSER_CF_EXPR_H

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "conf_parser/cidr.h"
#include "request/request.h"

namespace expr {
class expression;
}

// A time of day; compared as (hour, minute), no wrap-around at midnight.
struct cf_time {
    int hour = 0;
    int minute = 0;
};

// Parses "H:MM" or "HH:MM" (hour 0-23, minute 0-59). Throws
// std::runtime_error "Error parsing time from string \"<t>\": <reason>".
cf_time cf_parse_time(const std::string &text);

// What an expression sees of the request being handled.
class expr_context {
public:
    class var_not_found : public std::runtime_error {
    public:
        explicit var_not_found(const std::string &name)
            : std::runtime_error("Unknown variable: " + name) {}
    };

    explicit expr_context(const icap_request &request) : rq(request) {}

    // Variable expansion by type. Names are the lower-case spellings;
    // any other name throws var_not_found.
    // request_url, request_username: the request's text fields.
    std::string expand_string(const std::string &name) const;
    // request_ip: the client address as a CIDR; an address that does not
    // parse is logged and yields the undefined (null) CIDR.
    cidr_ptr expand_cidr(const std::string &name) const;
    // system_time: local time of day of the request's start time.
    cf_time expand_time(const std::string &name) const;

    // The variable names each expansion knows (used to check names at load).
    static bool is_string_var(const std::string &name);
    static bool is_cidr_var(const std::string &name);
    static bool is_time_var(const std::string &name);

    const icap_request &rq;
};

// The [def] functions of one configuration, in definition order. Names are
// compared exactly (letter case matters).
class cf_functions {
public:
    typedef std::shared_ptr<const expr::expression> expression_ptr;

    // Appends a function; throws "Function <name> already exists".
    void add(const std::string &name, const expression_ptr &e);
    // Throws "Function <name> not found".
    expression_ptr get(const std::string &name) const;
    // "\nFUNCTION: <name>\n" and the printed expression, for each function.
    void dump(std::ostream &os) const;
    void clear() { funcs_.clear(); }
    bool empty() const { return funcs_.empty(); }
    size_t size() const { return funcs_.size(); }

private:
    std::vector<std::pair<std::string, expression_ptr>> funcs_;
};

#endif
