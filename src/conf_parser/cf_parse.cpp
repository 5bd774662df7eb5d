// The parse entry: hands the text to the scanner, runs the grammar and
// releases everything the scan and the parse left behind, whatever happened.
#include "conf_parser/cf_parse.h"

#include "conf_parser/cf_lexer.h"
#include "grammar.h"

namespace {

// Resets the scanner and frees the parse's leftovers when it goes.
struct cf_parse_cleanup {
    ~cf_parse_cleanup()
    {
        cf_lexer_reset();
        cf_token_strings_free();
        cf_grammar_release();
    }
};

}  // namespace

void cf_parse_text(cf_parser &ctx, const char *data, size_t len)
{
    cf_parse_cleanup cleanup;
    cf_lexer_begin(data, len);
    cf_grammar_parse(ctx);
}
