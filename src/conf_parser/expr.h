// The expression tree of [match] conditions and [def] functions: boolean
// nodes, typed comparisons, line-file lists and typed values. Trees are built
// by the grammar's actions, never changed afterwards, and only read.
//
// Operands are owned through expression_owner / value_owner (unique_ptr);
// a grammar action holding raw pointers wraps them, for example
//     new expr::bool_or(expr::expression_owner($1), expr::expression_owner($3))
//     new expr::op_regex(expr::value_owner<expr::string_type_traits>($1),
//         expr::value_owner<expr::regex_type_traits>(
//             new expr::value_const<expr::regex_type_traits>(compiled_re($3))))
//     new expr::op_list_belongs(expr::value_owner<expr::cidr_type_traits>($1), $4)
// Constants: value_const<string_type_traits>(text),
// value_const<time_type_traits>(cf_parse_time(text)),
// value_const<cidr_type_traits>(make_cidr(text)); variables:
// value_var<string_type_traits>(name as written), likewise for time and cidr.
#ifndef TVX_CONF_PARSER_EXPR_H
#define TVX_CONF_PARSER_EXPR_H

#include <cctype>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "conf_parser/cf_expr.h"
#include "conf_parser/cidr.h"
#include "conf_parser/compiled_re.h"
#include "conf_parser/values.h"

namespace expr {

// Value types of typed nodes: what a value holds (value_type), what get
// returns (result_type), the print names, how a constant is printed and,
// for types that have variables, how a variable is expanded.
struct string_type_traits {
    typedef std::string value_type;
    typedef std::string result_type;
    static constexpr const char *const_name = "value_const_string";
    static constexpr const char *var_name = "value_var_string";
    static void print_value(std::ostream &os, const value_type &v);
    static bool known_var(const std::string &name) { return expr_context::is_string_var(name); }
    static result_type expand(const expr_context &ctx, const std::string &name)
    {
        return ctx.expand_string(name);
    }
};
struct time_type_traits {
    typedef cf_time value_type;
    typedef cf_time result_type;
    static constexpr const char *const_name = "value_const_time";
    static constexpr const char *var_name = "value_var_time";
    static void print_value(std::ostream &os, const value_type &v);  // HH:MM
    static bool known_var(const std::string &name) { return expr_context::is_time_var(name); }
    static result_type expand(const expr_context &ctx, const std::string &name)
    {
        return ctx.expand_time(name);
    }
};
struct cidr_type_traits {
    typedef cidr_ptr value_type;
    typedef cidr_ptr result_type;
    static constexpr const char *const_name = "value_const_cidr";
    static constexpr const char *var_name = "value_var_cidr";
    static void print_value(std::ostream &os, const value_type &v);  // text form or EMPTY
    static bool known_var(const std::string &name) { return expr_context::is_cidr_var(name); }
    static result_type expand(const expr_context &ctx, const std::string &name)
    {
        return ctx.expand_cidr(name);
    }
};
struct regex_type_traits {
    typedef compiled_re value_type;
    typedef const compiled_re &result_type;  // never recompiled per evaluation
    static constexpr const char *const_name = "value_const_regex";
    static void print_value(std::ostream &os, const value_type &v);  // the pattern
};

// Writes depth copies of "|   ".
void print_indent(std::ostream &os, int depth);

// ---- boolean nodes -------------------------------------------------------

class expression {
public:
    expression() = default;
    expression(const expression &) = delete;
    expression &operator=(const expression &) = delete;

    virtual bool evaluate(const expr_context &ctx) const = 0;
    // Writes the node as an indented outline at depth indent.
    virtual void print(std::ostream &os, int indent) const = 0;
    virtual ~expression();
    virtual const char *name() const = 0;
};

typedef std::unique_ptr<expression> expression_owner;      // an operand
typedef std::shared_ptr<const expression> expression_ptr;  // a block or function

// Prints e at depth 0 into a string.
std::string print_to_string(const expression &e);

class bool_2arg : public expression {
public:
    bool_2arg(expression_owner left, expression_owner right);
    void print(std::ostream &os, int indent) const override;

protected:
    expression_owner left_, right_;
};

// Short-circuit: the right operand is not evaluated when the left decides.
class bool_or final : public bool_2arg {
public:
    using bool_2arg::bool_2arg;
    bool evaluate(const expr_context &ctx) const override;
    const char *name() const override { return "or"; }
};

class bool_and final : public bool_2arg {
public:
    using bool_2arg::bool_2arg;
    bool evaluate(const expr_context &ctx) const override;
    const char *name() const override { return "and"; }
};

class bool_1arg : public expression {
public:
    explicit bool_1arg(expression_owner arg);
    void print(std::ostream &os, int indent) const override;

protected:
    expression_owner arg_;
};

class bool_not final : public bool_1arg {
public:
    using bool_1arg::bool_1arg;
    bool evaluate(const expr_context &ctx) const override;
    const char *name() const override { return "not"; }
};

// A call of a [def] function. Does not own the function: the function table
// does, for the configuration's whole life.
class bool_ref final : public expression {
public:
    bool_ref(const expression_ptr &function, const std::string &function_name);
    // Throws std::logic_error if the function is gone (a released configuration).
    bool evaluate(const expr_context &ctx) const override;
    void print(std::ostream &os, int indent) const override;
    const char *name() const override { return function_name_.c_str(); }

private:
    std::weak_ptr<const expression> function_;
    std::string function_name_;
};

// ---- typed values --------------------------------------------------------

template <class T>
class value {
public:
    typedef typename T::value_type value_type;
    typedef typename T::result_type result_type;

    value() = default;
    value(const value &) = delete;
    value &operator=(const value &) = delete;

    virtual result_type get(const expr_context &ctx) const = 0;
    virtual void print(std::ostream &os, int indent) const = 0;
    virtual ~value() = default;
    virtual const char *name() const = 0;
};

template <class T>
using value_owner = std::unique_ptr<value<T>>;

// A constant converted at load time. Exists for string, time, cidr, regex.
template <class T>
class value_const final : public value<T> {
public:
    typedef typename T::value_type value_type;
    typedef typename T::result_type result_type;

    explicit value_const(value_type v) : v_(std::move(v)) {}
    result_type get(const expr_context &) const override { return v_; }
    void print(std::ostream &os, int indent) const override
    {
        print_indent(os, indent);
        os << name() << "(\"";
        T::print_value(os, v_);
        os << "\")\n";
    }
    const char *name() const override { return T::const_name; }

private:
    value_type v_;
};

// A request variable. Exists for string, time and cidr. The name is kept as
// written for printing and folded to lower case for expansion; a name the
// type does not know throws expr_context::var_not_found at construction, so
// evaluation never meets an unknown variable.
template <class T>
class value_var final : public value<T> {
public:
    typedef typename T::result_type result_type;

    explicit value_var(const std::string &var_name) : written_(var_name), var_(var_name)
    {
        for (char &c : var_)
            c = (char)std::tolower((unsigned char)c);
        if (!T::known_var(var_))
            throw expr_context::var_not_found(written_);
    }
    result_type get(const expr_context &ctx) const override { return T::expand(ctx, var_); }
    void print(std::ostream &os, int indent) const override
    {
        print_indent(os, indent);
        os << name() << "(" << written_ << ")\n";
    }
    const char *name() const override { return T::var_name; }

private:
    std::string written_;
    std::string var_;  // lower case
};

// ---- comparisons ---------------------------------------------------------

// A comparison of two values: the right value is fetched first, then the left.
template <class A, class B>
class op_2arg : public expression {
public:
    typedef std::function<bool(const typename A::value_type &, const typename B::value_type &)>
        comparator_type;

    op_2arg(value_owner<A> left, value_owner<B> right)
        : left_(std::move(left)), right_(std::move(right)) {}

    bool evaluate(const expr_context &ctx) const override
    {
        typename B::result_type r = right_->get(ctx);
        typename A::result_type l = left_->get(ctx);
        return comparator()(l, r);
    }

    void print(std::ostream &os, int indent) const override
    {
        print_indent(os, indent);
        os << this->name() << " (\n";
        left_->print(os, indent + 1);
        right_->print(os, indent + 1);
        print_indent(os, indent);
        os << ")\n";
    }

    virtual comparator_type comparator() const = 0;

protected:
    value_owner<A> left_;
    value_owner<B> right_;
};

// A comparison of one value with every entry of a line file, loaded when the
// node is built; true at the first entry that compares true.
template <class A, class B>
class op_list : public expression {
public:
    typedef std::function<bool(const typename A::value_type &, const typename B::value_type &)>
        comparator_type;

    // Throws what load_file throws (missing file, bad entry).
    op_list(value_owner<A> left, const std::string &file_name)
        : left_(std::move(left)),
          entries_(load_file<typename B::value_type>(file_name)),
          file_name_(file_name) {}

    bool evaluate(const expr_context &ctx) const override
    {
        typename A::result_type l = left_->get(ctx);
        comparator_type cmp = comparator();
        for (const auto &entry : entries_)
            if (cmp(l, entry))
                return true;
        return false;
    }

    void print(std::ostream &os, int indent) const override
    {
        print_indent(os, indent);
        os << this->name() << " (\n";
        left_->print(os, indent + 1);
        print_indent(os, indent + 1);
        os << "list(\"" << file_name_ << "\")\n";
        print_indent(os, indent);
        os << ")\n";
    }

    virtual comparator_type comparator() const = 0;
    size_t size() const { return entries_.size(); }

protected:
    value_owner<A> left_;
    std::vector<typename B::value_type> entries_;
    std::string file_name_;
};

// Comparator functions, shared by single and list comparisons.
bool cmp_time_lt(const cf_time &l, const cf_time &r);
bool cmp_time_gt(const cf_time &l, const cf_time &r);
bool cmp_time_le(const cf_time &l, const cf_time &r);
bool cmp_time_ge(const cf_time &l, const cf_time &r);
// Same length and equal after case folding under the process locale.
bool cmp_string_ieq(const std::string &l, const std::string &r);
bool cmp_string_ineq(const std::string &l, const std::string &r);
bool cmp_string_regex(const std::string &l, const compiled_re &r);
// left lies within right (null handling as cidr_belongs).
bool cmp_cidr_belongs(const cidr_ptr &l, const cidr_ptr &r);

// Time comparisons; only time_type_traits is defined.
template <class T>
class op_lt;
template <class T>
class op_gt;
template <class T>
class op_le;
template <class T>
class op_ge;

#define TVX_EXPR_OP(cls, A, B, print_name, fn)                              \
    class cls final : public op_2arg<A, B> {                                \
    public:                                                                 \
        using op_2arg<A, B>::op_2arg;                                       \
        const char *name() const override { return print_name; }           \
        comparator_type comparator() const override { return &fn; }        \
    }
#define TVX_EXPR_TIME_OP(tmpl, print_name, fn)                              \
    template <>                                                             \
    class tmpl<time_type_traits> final                                      \
        : public op_2arg<time_type_traits, time_type_traits> {              \
    public:                                                                 \
        using op_2arg<time_type_traits, time_type_traits>::op_2arg;         \
        const char *name() const override { return print_name; }           \
        comparator_type comparator() const override { return &fn; }        \
    }
#define TVX_EXPR_LIST(cls, A, B, print_name, fn)                            \
    class cls final : public op_list<A, B> {                                \
    public:                                                                 \
        using op_list<A, B>::op_list;                                       \
        const char *name() const override { return print_name; }           \
        comparator_type comparator() const override { return &fn; }        \
    }

TVX_EXPR_TIME_OP(op_lt, "op_lt_time", cmp_time_lt);
TVX_EXPR_TIME_OP(op_gt, "op_gt_time", cmp_time_gt);
TVX_EXPR_TIME_OP(op_le, "op_le_time", cmp_time_le);
TVX_EXPR_TIME_OP(op_ge, "op_ge_time", cmp_time_ge);
TVX_EXPR_OP(op_ieq, string_type_traits, string_type_traits, "op_ieq_string", cmp_string_ieq);
TVX_EXPR_OP(op_ineq, string_type_traits, string_type_traits, "op_ineq_string", cmp_string_ineq);
TVX_EXPR_OP(op_regex, string_type_traits, regex_type_traits, "string_op_regex", cmp_string_regex);
TVX_EXPR_OP(op_belongs, cidr_type_traits, cidr_type_traits, "op_belongs_cidr", cmp_cidr_belongs);
TVX_EXPR_LIST(op_list_ieq, string_type_traits, string_type_traits, "op_list_ieq", cmp_string_ieq);
TVX_EXPR_LIST(op_list_regex, string_type_traits, regex_type_traits, "string_op_list_regex",
              cmp_string_regex);
TVX_EXPR_LIST(op_list_belongs, cidr_type_traits, cidr_type_traits, "op_list_belongs",
              cmp_cidr_belongs);

#undef TVX_EXPR_OP
#undef TVX_EXPR_TIME_OP
#undef TVX_EXPR_LIST

}  // namespace expr

#endif
