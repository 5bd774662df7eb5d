/* Grammar of the configuration language: global assignments, [name], [match]
 * and [def] sections, if-blocks, function definitions and MIME blocks.
 * A GLR parser: a line end may continue or close a construct, and only the
 * token after the line ends decides. Builds no tree of its own. */

%glr-parser
%define api.prefix {cf}
%define parse.error custom
%expect 7
%expect-rr 0

%code requires {
#include <cstddef>
}

%code provides {
// Runs the parser over the text handed to the scanner. Throws the first
// error of the parse: a lexical error, a syntax error or an action's error.
void cf_grammar_parse();
}

%code {
#include <exception>
#include <stdexcept>
#include <string>

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

}  // namespace

static void cferror(const char *msg);
}

%union {
    char *str;
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

ordinary_section_decl
    : '[' CF_ID ']'
    ;

match_section
    : match_section_decl
    | match_section_decl eols match_section_body
    ;

match_section_decl
    : '[' CF_KW_MATCH ']'
    ;

match_section_body
    : if_block
    | match_section_body eols if_block
    ;

if_block
    : CF_KW_IF cf_bool_expr opt_eols '{' { } eols conf_section_body eols '}'
    | CF_KW_IF cf_bool_expr opt_eols '{' eols '}'
    ;

def_section
    : def_section_decl
    | def_section_decl eols functions_decl_list
    ;

def_section_decl
    : '[' CF_KW_DEF ']'
    ;

functions_decl_list
    : func_decl
    | functions_decl_list eols func_decl
    ;

func_decl
    : CF_ID CF_ASSIGN '{' cf_bool_expr '}'
    ;

conf_section_body
    : conf_param_decl
    | conf_section_body eols conf_param_decl
    ;

cf_bool_expr
    : '(' cf_bool_expr ')'
    | CF_ID '(' ')'
    | cf_bool_expr CF_EXPR_OR cf_bool_expr
    | cf_bool_expr CF_EXPR_AND cf_bool_expr
    | CF_EXPR_NOT cf_bool_expr
    | cf_time_var CF_EXPR_LT cf_time_value
    | cf_time_var CF_EXPR_GT cf_time_value
    | cf_time_var CF_EXPR_LE cf_time_value
    | cf_time_var CF_EXPR_GE cf_time_value
    | cf_string_var CF_EXPR_EQ cf_string_value
    | cf_string_var CF_EXPR_NEQ cf_string_value
    | cf_string_var CF_EXPR_EQ CF_LOOKUP_FILE CF_STRING
    | cf_string_var CF_EXPR_REGEX cf_regex_value
    | cf_string_var CF_EXPR_REGEX CF_LOOKUP_FILE CF_STRING
    | cf_cidr_var CF_EXPR_CIDR_BELONGS cf_cidr_value
    | cf_cidr_var CF_EXPR_CIDR_BELONGS CF_LOOKUP_FILE CF_STRING
    ;

cf_regex_value : CF_STRING ;

cf_string_value
    : cf_string_const
    | cf_string_var
    ;

cf_string_const : CF_STRING ;

cf_string_var : CF_EXPR_VAR_STRING ;

cf_time_value
    : cf_time_const
    | cf_time_var
    ;

cf_time_const : CF_STRING ;

cf_time_var : CF_EXPR_VAR_TIME ;

cf_cidr_value
    : cf_cidr_const
    | cf_cidr_var
    ;

cf_cidr_const : CF_STRING ;

cf_cidr_var : CF_EXPR_VAR_CIDR ;

cf_param : CF_ID ;

conf_param_decl
    : mime_block
    | cf_param CF_ASSIGN
    | cf_param CF_ASSIGN CF_STRING
    | cf_param CF_ASSIGN cf_value_stringlist
    ;

cf_value_stringlist
    : cf_value_stringlist2
    | cf_value_stringlist CF_COMMA CF_STRING
    ;

cf_value_stringlist2
    : CF_STRING CF_COMMA CF_STRING
    ;

mime_block
    : CF_MIME_START CF_MIME_END
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
static void cferror(const char *msg)
{
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
static int yyreport_syntax_error(const yypcontext_t *yyctx)
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
    cferror(msg.c_str());
    return 0;
}

void cf_grammar_parse()
{
    in_match_section = false;
    cf_pending_error = nullptr;
    int rc = cfparse();
    std::exception_ptr e = cf_pending_error;
    cf_pending_error = nullptr;
    if (e)
        std::rethrow_exception(e);
    if (rc != 0)
        throw std::runtime_error("unexpected error while parsing config file");
}
