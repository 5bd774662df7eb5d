// Match blocks: creation for the add_expr callback and the printed listing.
// The override lookup itself is a template in the header.
#include "conf_parser/cf_override.h"

void cf_add_match_block(std::vector<match_block> &mb, const expr::expression_ptr &e)
{
    cf_require(e != nullptr, "e!=0");
    mb.emplace_back(e);
}

void cf_dump_match_blocks(std::ostream &os, const std::vector<match_block> &mb)
{
    for (const match_block &b : mb) {
        os << "\nMATCH_EXPRESSION:\n";
        b.expression->print(os, 0);
    }
}
