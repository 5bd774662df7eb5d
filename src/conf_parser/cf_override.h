// Per-request overrides of [match] sections: the per-type override storage,
// the match block (an expression and what its if-block assigns) and the
// lookup of a parameter's effective value for one request.
#ifndef TVX_CONF_PARSER_CF_OVERRIDE_H
#define TVX_CONF_PARSER_CF_OVERRIDE_H

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "conf_parser/cf_assert.h"
#include "conf_parser/cf_expr.h"
#include "conf_parser/expr.h"

// Values of one type stored under override identifiers.
template <class T>
class override_storage_interface {
public:
    // The value stored under id, or null when the block holds none.
    virtual const T *get(int id) const = 0;
    // Stores value under id, replacing an earlier one.
    virtual void set(int id, const T &value) = 0;
    virtual ~override_storage_interface() = default;
};

template <class T>
class override_storage_map final : public override_storage_interface<T> {
public:
    const T *get(int id) const override
    {
        auto it = values_.find(id);
        return it == values_.end() ? nullptr : &it->second;
    }
    void set(int id, const T &value) override { values_[id] = value; }

private:
    std::map<int, T> values_;
};

// The storage of one type inside a block's override set.
template <class T, template <class> class Storage>
class param_overriders_1type {
public:
    override_storage_interface<T> &storage() { return storage_; }
    const override_storage_interface<T> &storage() const { return storage_; }

private:
    Storage<T> storage_;
};

// One storage per parameter type: bool, size, digital_t, string, string list.
template <template <class> class Storage>
class param_overriders : public param_overriders_1type<bool, Storage>,
                         public param_overriders_1type<unsigned long, Storage>,
                         public param_overriders_1type<int, Storage>,
                         public param_overriders_1type<std::string, Storage>,
                         public param_overriders_1type<std::vector<std::string>, Storage> {
public:
    template <class T>
    override_storage_interface<T> &for_type()
    {
        return param_overriders_1type<T, Storage>::storage();
    }
    template <class T>
    const override_storage_interface<T> &for_type() const
    {
        return param_overriders_1type<T, Storage>::storage();
    }
};

typedef param_overriders<override_storage_map> cf_overrides;

// A non-empty if-block of a [match] section, in file order.
struct match_block {
    explicit match_block(const expr::expression_ptr &e) : expression(e) {}
    expr::expression_ptr expression;
    cf_overrides overrides;
};

// The add_expr target: appends a block with empty storage.
void cf_add_match_block(std::vector<match_block> &mb, const expr::expression_ptr &e);

// The operation every override setter (pco) is bound to: stores value under
// id in the last block. A block must exist ("!mb.empty()").
template <class T>
void cf_add_override(std::vector<match_block> &mb, int id, const T &value)
{
    cf_require(!mb.empty(), "!mb.empty()");
    mb.back().overrides.for_type<T>().set(id, value);
}

// The value of overridable parameter id for one request: the value of the
// first block, in file order, that assigns id and whose expression is true;
// otherwise the global value. A block that does not assign id is not
// evaluated; nothing is cached between lookups. Evaluation errors propagate.
template <class T>
const T &cf_effective_value(const std::vector<match_block> &mb, int id, const T &global,
                            const expr_context &ctx)
{
    for (const match_block &b : mb) {
        const T *v = b.overrides.for_type<T>().get(id);
        if (v && b.expression->evaluate(ctx))
            return *v;
    }
    return global;
}

// "\nMATCH_EXPRESSION:\n" and the printed expression, for each block.
void cf_dump_match_blocks(std::ostream &os, const std::vector<match_block> &mb);

#endif
