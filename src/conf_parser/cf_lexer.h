// Interface of the configuration scanner (lexer.l): one process-wide scanner
// used only while a configuration text is loaded. It works on its own copy
// of the text, never reads files, and keeps the line counter for messages.
#ifndef TVX_CONF_PARSER_CF_LEXER_H
#define TVX_CONF_PARSER_CF_LEXER_H

#include <cstddef>
#include <string>
#include <vector>

// Start conditions of the scanner, as numbered by it (INITIAL is 0).
enum cf_lexer_condition {
    CF_COND_INITIAL = 0,
    CF_COND_QUOTED,
    CF_COND_COMMENT,
    CF_COND_SECTION_NAME,
    CF_COND_MIME_BODY,
    CF_COND_PARAM_NAME,
    CF_COND_PARAM_VALUE,
    CF_COND_MATCH_BODY,
    CF_COND_DEF_BODY,
    CF_COND_BOOL_EXPR,
};

// Kind of the most recent section header.
enum cf_section_kind { CF_SECTION_ORDINARY = 0, CF_SECTION_MATCH = 1, CF_SECTION_DEF = 2 };

// Hands a copy of the text (two NUL bytes appended) to the scanner, with the
// line counter at 1 and the section kind ordinary. Throws
// std::runtime_error "yy_scan_buffer() returns NULL" when the scanner cannot
// take the text.
void cf_lexer_begin(const char *data, size_t len);

// Frees the scanner buffers and the start-condition stack, returns to
// INITIAL, sets the line counter back to 1 and empties the MIME text.
// Safe to call at any time, also when no text was handed over.
void cf_lexer_reset();

// Next token for the parser (0 at end of input); text tokens set cflval.str
// to a copy owned by the token-string list. Lexical errors are thrown as
// std::runtime_error "lexer error at line N: ...".
int cf_lexer_next();

// Line counter: the number of line feeds consumed so far plus one.
int cf_lexer_line();

// Current start condition and section kind (for tests and diagnostics).
int cf_lexer_condition();
cf_section_kind cf_lexer_section_kind();

// Returns the text collected for the current MIME block and empties it.
std::string cf_lexer_take_mime_text();

// NUL-terminated heap copy of a token text, recorded in the process-wide
// token-string list. Throws "lexer error at line N: error in strdup(): ..."
// when memory runs out.
char *assign_string_copy(const char *text, size_t len);

// Frees every string of the token-string list.
void cf_token_strings_free();
size_t cf_token_strings_count();

// Print name of a token: CF_ names as declared, characters in single quotes,
// "$end" for the end of input.
const char *cf_token_name(int token);

// One token as the scanner returned it, with its text value (empty for
// tokens without one; the block text for CF_MIME_END), the line counter
// and the start condition right after it was scanned.
struct cf_lexed_token {
    std::string name;
    std::string value;
    int line;
    int condition;
};

// Scans a whole text and returns its tokens up to the end of input; resets
// the scanner afterwards, also when a lexical error is thrown.
std::vector<cf_lexed_token> cf_lexer_tokens(const char *data, size_t len);

#endif
