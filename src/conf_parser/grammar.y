/* Grammar of the configuration language: global assignments, [name], [match]
 * and [def] sections, if-blocks, function definitions and MIME blocks.
 * A GLR parser: a line end may continue or close a construct, and only the
 * token after the line ends decides. Builds no tree of its own: the actions
 * hand every construct to the parse context, in input order. */

%glr-parser
%define api.prefix {cf}
%define parse.error custom
%expect 7
%expect-rr 0
%parse-param {cf_parser &ctx}

%code requires {
#include <string>
#include <vector>

#include "conf_parser/cf_parser.h"
#include "conf_parser/expr.h"
}

%code provides {
// Runs the parser over the text handed to the scanner. Throws the first
// error of the parse: a lexical error, a syntax error or an action's error.
void cf_grammar_parse(cf_parser &ctx);

// Frees the list objects and the expression nodes that the actions built and
// no one took over (after an error); called after every parse.
void cf_grammar_release();
}

%code {
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>

#include "conf_parser/cf_lexer.h"

namespace {

// Assignments go to per-request overrides only inside a [match] section.
bool in_match_section = false;

// The first error of the parse. The parser itself is C code that must not be
// unwound by exceptions: errors are recorded here, the parse is aborted and
// the error is rethrown once the parser has freed its stacks.
std::exception_ptr cf_pending_error;

void cf_record_error(std::exception_ptr e)
{
    if (!cf_pending_error)
        cf_pending_error = e;
}

// The scanner as the parser sees it: a lexical error is recorded and an
// invalid token returned, which ends the parse.
int cflex()
{
    try {
        return cf_lexer_next();
    } catch (...) {
        cf_record_error(std::current_exception());
        return CFUNDEF;
    }
}

// Lists built for comma-separated values, freed after the parse.
std::vector<std::unique_ptr<std::vector<std::string>>> cf_lists;

// Expression nodes and values built by actions and not yet owned by a parent
// node or handed to a callback, with their deleters.
std::map<const void *, std::function<void()>> cf_loose;

// Records a new node as loose and returns it for the semantic value.
template <class T>
T *cf_keep(std::unique_ptr<T> node)
{
    T *raw = node.get();
    cf_loose.emplace(raw, [raw] { delete raw; });
    return node.release();
}

// Takes a loose node over from the semantic value.
template <class T>
std::unique_ptr<T> cf_take(T *raw)
{
    if (cf_loose.erase(raw) != 1)
        throw std::logic_error("expression node taken twice");
    return std::unique_ptr<T>(raw);
}

std::vector<std::string> *cf_new_list()
{
    cf_lists.emplace_back(new std::vector<std::string>());
    return cf_lists.back().get();
}

}  // namespace

static void cferror(cf_parser &ctx, const char *msg);

namespace {

// Runs an action's work; an exception is reported through the error routine
// with the parser's line prefix. False when the action failed.
bool cf_converting(cf_parser &ctx, const std::function<void()> &work)
{
    try {
        work();
        return true;
    } catch (const std::exception &e) {
        cferror(ctx, e.what());
    } catch (...) {
        cf_record_error(std::current_exception());
    }
    return false;
}

// Runs an action's work; an exception passes through the parser unchanged.
bool cf_plain(const std::function<void()> &work)
{
    try {
        work();
        return true;
    } catch (...) {
        cf_record_error(std::current_exception());
    }
    return false;
}

// One assignment "name = value" to the global value or to the current
// match block's override.
bool cf_assign(cf_parser &ctx, const char *name, const char *value)
{
    return cf_converting(ctx, [&] {
        if (!ctx.parse(name, value, !in_match_section))
            throw std::runtime_error("Param not found");
    });
}

// "name = a, b, ...": every element appended to a string-list parameter.
// Lists are global only: an if-block assigns one string at a time.
bool cf_assign_list(cf_parser &ctx, const char *name, const std::vector<std::string> &list)
{
    return cf_converting(ctx, [&] {
        if (in_match_section)
            throw std::runtime_error(std::string("Param ") + name +
                                     ": list values cannot be overridden");
        for (const std::string &element : list)
            if (!ctx.parse_list(name, element, true))
                throw std::runtime_error("Param not found");
    });
}

}  // namespace

#define CF_CONVERTING(...) do { if (!cf_converting(ctx, [&] { __VA_ARGS__; })) YYABORT; } while (0)
#define CF_PLAIN(...) do { if (!cf_plain([&] { __VA_ARGS__; })) YYABORT; } while (0)

using namespace expr;
}

%union {
    char *str;
    std::vector<std::string> *list;
    expr::expression *bexpr;
    expr::value<expr::string_type_traits> *sval;
    expr::value<expr::time_type_traits> *tval;
    expr::value<expr::cidr_type_traits> *cval;
    expr::value<expr::regex_type_traits> *rval;
}

/* The declared order is the order in which syntax errors list expected tokens. */
%token CF_EOL
%token CF_MIME_START
%token CF_MIME_SECTION_BODY
%token CF_MIME_END
%token CF_ASSIGN
%token <str> CF_STRING
%token CF_COMMA
%token CF_KW_MATCH
%token CF_KW_DEF
%token CF_KW_IF
%token CF_LOOKUP_FILE
%token <str> CF_ID
%token <str> CF_EXPR_VAR_STRING
%token <str> CF_EXPR_VAR_CIDR
%token <str> CF_EXPR_VAR_TIME
%token CF_EXPR_OR
%token CF_EXPR_AND
%token CF_EXPR_NOT
%token CF_EXPR_EQ
%token CF_EXPR_NEQ
%token CF_EXPR_GT
%token CF_EXPR_GE
%token CF_EXPR_LT
%token CF_EXPR_LE
%token CF_EXPR_REGEX
%token CF_EXPR_CIDR_BELONGS
%token '[' ']' '{' '}' '(' ')'

%left CF_EXPR_OR
%left CF_EXPR_AND
%precedence CF_EXPR_NOT

%type <str> cf_param
%type <list> cf_value_stringlist cf_value_stringlist2
%type <bexpr> cf_bool_expr
%type <sval> cf_string_value cf_string_const cf_string_var
%type <tval> cf_time_value cf_time_const cf_time_var
%type <cval> cf_cidr_value cf_cidr_const cf_cidr_var
%type <rval> cf_regex_value

%start config

%%

config
    : opt_eols
    | opt_eols list_of_sections opt_eols
    | opt_eols conf_section_body eols list_of_sections opt_eols
    | opt_eols conf_section_body opt_eols
    ;

list_of_sections
    : concrete_section
    | list_of_sections eols concrete_section
    ;

concrete_section
    : ordinary_section
    | def_section
    | match_section
    ;

ordinary_section
    : ordinary_section_decl
    | ordinary_section_decl eols conf_section_body
    ;

/* The name is ignored: ordinary sections and the global part are one scope. */
ordinary_section_decl
    : '[' CF_ID ']'                 { in_match_section = false; }
    ;

match_section
    : match_section_decl
    | match_section_decl eols match_section_body
    ;

match_section_decl
    : '[' CF_KW_MATCH ']'           { in_match_section = true; }
    ;

match_section_body
    : if_block
    | match_section_body eols if_block
    ;

/* The match block is registered before any assignment of its body is
 * handled, so that the body's overrides attach to it. An empty body
 * registers nothing. */
if_block
    : CF_KW_IF cf_bool_expr opt_eols '{'
        { CF_PLAIN(ctx.run_callback_add_expr(expression_ptr(cf_take($2)))); }
      eols conf_section_body eols '}'
    | CF_KW_IF cf_bool_expr opt_eols '{' eols '}'
        { CF_PLAIN(cf_take($2)); }
    ;

def_section
    : def_section_decl
    | def_section_decl eols functions_decl_list
    ;

def_section_decl
    : '[' CF_KW_DEF ']'             { in_match_section = false; }
    ;

functions_decl_list
    : func_decl
    | functions_decl_list eols func_decl
    ;

func_decl
    : CF_ID CF_ASSIGN '{' cf_bool_expr '}'
        { CF_CONVERTING(ctx.run_callback_add_func($1, expression_ptr(cf_take($4)))); }
    ;

conf_section_body
    : conf_param_decl
    | conf_section_body eols conf_param_decl
    ;

/* A function is resolved when its call is parsed: it must be defined earlier. */
cf_bool_expr
    : '(' cf_bool_expr ')'          { $$ = $2; }
    | CF_ID '(' ')'
        { CF_CONVERTING($$ = cf_keep(std::make_unique<bool_ref>(ctx.run_callback_get_func($1), $1))); }
    | cf_bool_expr CF_EXPR_OR cf_bool_expr
        { CF_PLAIN($$ = cf_keep(std::make_unique<bool_or>(cf_take($1), cf_take($3)))); }
    | cf_bool_expr CF_EXPR_AND cf_bool_expr
        { CF_PLAIN($$ = cf_keep(std::make_unique<bool_and>(cf_take($1), cf_take($3)))); }
    | CF_EXPR_NOT cf_bool_expr
        { CF_PLAIN($$ = cf_keep(std::make_unique<bool_not>(cf_take($2)))); }
    | cf_time_var CF_EXPR_LT cf_time_value
        { CF_PLAIN($$ = cf_keep(std::make_unique<op_lt<time_type_traits>>(cf_take($1), cf_take($3)))); }
    | cf_time_var CF_EXPR_GT cf_time_value
        { CF_PLAIN($$ = cf_keep(std::make_unique<op_gt<time_type_traits>>(cf_take($1), cf_take($3)))); }
    | cf_time_var CF_EXPR_LE cf_time_value
        { CF_PLAIN($$ = cf_keep(std::make_unique<op_le<time_type_traits>>(cf_take($1), cf_take($3)))); }
    | cf_time_var CF_EXPR_GE cf_time_value
        { CF_PLAIN($$ = cf_keep(std::make_unique<op_ge<time_type_traits>>(cf_take($1), cf_take($3)))); }
    | cf_string_var CF_EXPR_EQ cf_string_value
        { CF_PLAIN($$ = cf_keep(std::make_unique<op_ieq>(cf_take($1), cf_take($3)))); }
    | cf_string_var CF_EXPR_NEQ cf_string_value
        { CF_PLAIN($$ = cf_keep(std::make_unique<op_ineq>(cf_take($1), cf_take($3)))); }
    | cf_string_var CF_EXPR_EQ CF_LOOKUP_FILE CF_STRING
        { CF_CONVERTING($$ = cf_keep(std::make_unique<op_list_ieq>(cf_take($1), $4))); }
    | cf_string_var CF_EXPR_REGEX cf_regex_value
        { CF_PLAIN($$ = cf_keep(std::make_unique<op_regex>(cf_take($1), cf_take($3)))); }
    | cf_string_var CF_EXPR_REGEX CF_LOOKUP_FILE CF_STRING
        { CF_CONVERTING($$ = cf_keep(std::make_unique<op_list_regex>(cf_take($1), $4))); }
    | cf_cidr_var CF_EXPR_CIDR_BELONGS cf_cidr_value
        { CF_PLAIN($$ = cf_keep(std::make_unique<op_belongs>(cf_take($1), cf_take($3)))); }
    | cf_cidr_var CF_EXPR_CIDR_BELONGS CF_LOOKUP_FILE CF_STRING
        { CF_CONVERTING($$ = cf_keep(std::make_unique<op_list_belongs>(cf_take($1), $4))); }
    ;

cf_regex_value
    : CF_STRING
        { CF_CONVERTING($$ = cf_keep(std::make_unique<value_const<regex_type_traits>>(compiled_re($1)))); }
    ;

cf_string_value
    : cf_string_const
    | cf_string_var
    ;

cf_string_const
    : CF_STRING
        { CF_PLAIN($$ = cf_keep(std::make_unique<value_const<string_type_traits>>($1))); }
    ;

cf_string_var
    : CF_EXPR_VAR_STRING
        { CF_PLAIN($$ = cf_keep(std::make_unique<value_var<string_type_traits>>($1))); }
    ;

cf_time_value
    : cf_time_const
    | cf_time_var
    ;

/* A bad time reaches the loader without the parser's line prefix. */
cf_time_const
    : CF_STRING
        { CF_PLAIN($$ = cf_keep(std::make_unique<value_const<time_type_traits>>(cf_parse_time($1)))); }
    ;

cf_time_var
    : CF_EXPR_VAR_TIME
        { CF_PLAIN($$ = cf_keep(std::make_unique<value_var<time_type_traits>>($1))); }
    ;

cf_cidr_value
    : cf_cidr_const
    | cf_cidr_var
    ;

cf_cidr_const
    : CF_STRING
        { CF_CONVERTING($$ = cf_keep(std::make_unique<value_const<cidr_type_traits>>(make_cidr($1)))); }
    ;

cf_cidr_var
    : CF_EXPR_VAR_CIDR
        { CF_PLAIN($$ = cf_keep(std::make_unique<value_var<cidr_type_traits>>($1))); }
    ;

cf_param
    : CF_ID
    ;

conf_param_decl
    : mime_block
    | cf_param CF_ASSIGN
        { if (!cf_assign(ctx, $1, "")) YYABORT; }
    | cf_param CF_ASSIGN CF_STRING
        { if (!cf_assign(ctx, $1, $3)) YYABORT; }
    | cf_param CF_ASSIGN cf_value_stringlist
        { if (!cf_assign_list(ctx, $1, *$3)) YYABORT; }
    ;

cf_value_stringlist
    : cf_value_stringlist2
    | cf_value_stringlist CF_COMMA CF_STRING
        { CF_PLAIN($1->push_back($3)); $$ = $1; }
    ;

cf_value_stringlist2
    : CF_STRING CF_COMMA CF_STRING
        { CF_PLAIN($$ = cf_new_list(); $$->push_back($1); $$->push_back($3)); }
    ;

/* The block text was collected by the scanner; the MIME rule parser reads it
 * now, when the closing keyword is reached. */
mime_block
    : CF_MIME_START CF_MIME_END
        {
            if (in_match_section) {
                cferror(ctx, "Mime parameters cannot be overriden");
                YYABORT;
            }
            CF_CONVERTING(ctx.run_callback_add_mime_block(cf_lexer_take_mime_text()));
        }
    ;

opt_eols
    : %empty
    | eols
    ;

eols
    : CF_EOL
    | eols CF_EOL
    ;

%%

// The parser's error routine: "parser error at line N: " and the message.
static void cferror(cf_parser &ctx, const char *msg)
{
    (void)ctx;
    cf_record_error(std::make_exception_ptr(std::runtime_error(
        "parser error at line " + std::to_string(cf_lexer_line()) + ": " + msg)));
}

// Name of a token in syntax errors.
static const char *cf_symbol_name(yysymbol_kind_t kind)
{
    if (kind == YYSYMBOL_YYEOF)
        return "$end";
    if (kind == YYSYMBOL_YYUNDEF)
        return "$undefined";
    return yysymbol_name(kind);
}

// "syntax error, unexpected X, expecting A or B": at most four expected
// tokens are named; with more, only the unexpected one is.
static int yyreport_syntax_error(const yypcontext_t *yyctx, cf_parser &ctx)
{
    if (cf_pending_error)
        return 0;  // a lexical error already ended the parse
    std::string msg = "syntax error";
    yysymbol_kind_t token = yypcontext_token(yyctx);
    if (token != YYSYMBOL_YYEMPTY && yypcontext_expected_tokens(yyctx, nullptr, 0) > 0) {
        msg += ", unexpected ";
        msg += cf_symbol_name(token);
        yysymbol_kind_t expected[4];
        int n = yypcontext_expected_tokens(yyctx, expected, 4);
        for (int i = 0; i < n; i++) {
            msg += i == 0 ? ", expecting " : " or ";
            msg += cf_symbol_name(expected[i]);
        }
    }
    cferror(ctx, msg.c_str());
    return 0;
}

void cf_grammar_release()
{
    while (!cf_loose.empty()) {
        std::function<void()> free_node = std::move(cf_loose.begin()->second);
        cf_loose.erase(cf_loose.begin());
        free_node();
    }
    cf_lists.clear();
}

void cf_grammar_parse(cf_parser &ctx)
{
    cf_grammar_release();
    in_match_section = false;
    cf_pending_error = nullptr;
    int rc = cfparse(ctx);
    std::exception_ptr e = cf_pending_error;
    cf_pending_error = nullptr;
    if (e)
        std::rethrow_exception(e);
    if (rc != 0)
        throw std::runtime_error("unexpected error while parsing config file");
}
