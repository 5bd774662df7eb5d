// The parse entry of the configuration language: scans a text held in
// memory, runs the grammar with a parse context and always leaves the scanner
// and the parser's leftovers released. Reads no file itself.
#ifndef TVX_CONF_PARSER_CF_PARSE_H
#define TVX_CONF_PARSER_CF_PARSE_H

#include <cstddef>

class cf_parser;

// Parses data[0..len) with ctx: assignments go to ctx's registry, if-block
// expressions, functions and MIME blocks to its callbacks, in input order.
// Throws std::runtime_error on the first error ("lexer error at line N: ...",
// "parser error at line N: ...", a time or if-block error without prefix,
// "yy_scan_buffer() returns NULL", "unexpected error while parsing config
// file"). Afterwards the scanner is reset and every token string, list
// object and unused expression node is freed, on success and on error.
void cf_parse_text(cf_parser &ctx, const char *data, size_t len);

#endif
