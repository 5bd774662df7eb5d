// The configuration object: construction from the table's defaults, the
// grammar callbacks that fill its match blocks and functions, and the
// per-request value of a category switch. Holds the object in force.
#include "config/icapd_config.h"

#include <stdexcept>

#include "conf_parser/cf_parser.h"
#include "config/param_table.h"

icapd_config g_config;

icapd_config::icapd_config() { config_store_defaults(*this); }

void icapd_config::bind_callbacks(cf_parser &p)
{
    p.add_expr = [this](const expr::expression_ptr &e) { add_expr(e); };
    p.add_func = [this](const std::string &name, const expr::expression_ptr &e) { add_func(name, e); };
    p.get_func = [this](const std::string &name) { return get_func(name); };
    p.add_mime_block = [this](const std::string &text) { mime_parse_block(mime, text); };
}

void icapd_config::add_expr(const expr::expression_ptr &e) { cf_add_match_block(mb, e); }

void icapd_config::add_func(const std::string &name, const expr::expression_ptr &e) { functions.add(name, e); }

expr::expression_ptr icapd_config::get_func(const std::string &name) const { return functions.get(name); }

const bool &icapd_config::block_switch(int id, const expr_context &ctx) const
{
    if (id < 0 || id >= BLOCK_SWITCH_COUNT)
        throw std::out_of_range("no category switch " + std::to_string(id));
    return cf_effective_value<bool>(mb, id, block[id], ctx);
}
