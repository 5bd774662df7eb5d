// Evaluation and printing of the boolean nodes, the comparator functions and
// the printed forms of constants. Evaluation reads the context only.
#include "conf_parser/expr.h"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace expr {

void print_indent(std::ostream &os, int depth)
{
    for (int i = 0; i < depth; i++)
        os << "|   ";
}

std::string print_to_string(const expression &e)
{
    std::ostringstream os;
    e.print(os, 0);
    return os.str();
}

expression::~expression() = default;

bool_2arg::bool_2arg(expression_owner left, expression_owner right)
    : left_(std::move(left)), right_(std::move(right))
{
}

void bool_2arg::print(std::ostream &os, int indent) const
{
    print_indent(os, indent);
    os << name() << " (\n";
    left_->print(os, indent + 1);
    right_->print(os, indent + 1);
    print_indent(os, indent);
    os << ")\n";
}

bool bool_or::evaluate(const expr_context &ctx) const
{
    return left_->evaluate(ctx) || right_->evaluate(ctx);
}

bool bool_and::evaluate(const expr_context &ctx) const
{
    return left_->evaluate(ctx) && right_->evaluate(ctx);
}

bool_1arg::bool_1arg(expression_owner arg) : arg_(std::move(arg)) {}

void bool_1arg::print(std::ostream &os, int indent) const
{
    print_indent(os, indent);
    os << name() << " (\n";
    arg_->print(os, indent + 1);
    print_indent(os, indent);
    os << ")\n";
}

bool bool_not::evaluate(const expr_context &ctx) const
{
    return !arg_->evaluate(ctx);
}

bool_ref::bool_ref(const expression_ptr &function, const std::string &function_name)
    : function_(function), function_name_(function_name)
{
}

bool bool_ref::evaluate(const expr_context &ctx) const
{
    expression_ptr f = function_.lock();
    if (!f)
        throw std::logic_error("Function " + function_name_ + " released while in use");
    return f->evaluate(ctx);
}

void bool_ref::print(std::ostream &os, int indent) const
{
    print_indent(os, indent);
    os << function_name_ << "()\n";
}

void string_type_traits::print_value(std::ostream &os, const value_type &v)
{
    os << v;
}

void time_type_traits::print_value(std::ostream &os, const value_type &v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%02d:%02d", v.hour, v.minute);
    os << buf;
}

void cidr_type_traits::print_value(std::ostream &os, const value_type &v)
{
    os << (v ? v->to_string() : std::string("EMPTY"));
}

void regex_type_traits::print_value(std::ostream &os, const value_type &v)
{
    os << v.pattern();
}

bool cmp_time_lt(const cf_time &l, const cf_time &r)
{
    return l.hour < r.hour || (l.hour == r.hour && l.minute < r.minute);
}

bool cmp_time_gt(const cf_time &l, const cf_time &r)
{
    return l.hour > r.hour || (l.hour == r.hour && l.minute > r.minute);
}

bool cmp_time_le(const cf_time &l, const cf_time &r)
{
    return l.hour < r.hour || (l.hour == r.hour && l.minute <= r.minute);
}

bool cmp_time_ge(const cf_time &l, const cf_time &r)
{
    return l.hour > r.hour || (l.hour == r.hour && l.minute >= r.minute);
}

bool cmp_string_ieq(const std::string &l, const std::string &r)
{
    if (l.size() != r.size())
        return false;
    for (std::string::size_type i = 0; i < l.size(); i++)
        if (std::tolower((unsigned char)l[i]) != std::tolower((unsigned char)r[i]))
            return false;
    return true;
}

bool cmp_string_ineq(const std::string &l, const std::string &r)
{
    return !cmp_string_ieq(l, r);
}

bool cmp_string_regex(const std::string &l, const compiled_re &r)
{
    return r.match(l);
}

bool cmp_cidr_belongs(const cidr_ptr &l, const cidr_ptr &r)
{
    return cidr_belongs(l, r);
}

}  // namespace expr
