# Generated sources of the configuration language (flex scanner, bison GLR
# parser). Empty until src/conf_parser holds lexer.l and grammar.y.
set(TVX_CONF_PARSER_GENERATED "")
set(_cp ${CMAKE_CURRENT_SOURCE_DIR}/src/conf_parser)
if(EXISTS ${_cp}/grammar.y AND EXISTS ${_cp}/lexer.l)
  find_package(BISON 3.6 REQUIRED)
  find_package(FLEX 2.6 REQUIRED)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/conf_parser)
  BISON_TARGET(cf_grammar ${_cp}/grammar.y ${CMAKE_CURRENT_BINARY_DIR}/conf_parser/grammar.cpp
               DEFINES_FILE ${CMAKE_CURRENT_BINARY_DIR}/conf_parser/grammar.h)
  FLEX_TARGET(cf_lexer ${_cp}/lexer.l ${CMAKE_CURRENT_BINARY_DIR}/conf_parser/lexer.cpp)
  ADD_FLEX_BISON_DEPENDENCY(cf_lexer cf_grammar)
  set(TVX_CONF_PARSER_GENERATED ${BISON_cf_grammar_OUTPUTS} ${FLEX_cf_lexer_OUTPUTS})
  # Generated code is not held to our warning flags.
  set_source_files_properties(${TVX_CONF_PARSER_GENERATED} PROPERTIES COMPILE_OPTIONS "-Wno-unused-function;-Wno-sign-compare;-Wno-unused-parameter;-Wno-error")
endif()
