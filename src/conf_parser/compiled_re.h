// compiled_re: a POSIX extended regular expression, matched without regard
// to letter case and without sub-matches, together with its pattern text.
// Copies compile the pattern again; the compiled form is never shared.
#ifndef TVX_CONF_PARSER_COMPILED_RE_H
#define TVX_CONF_PARSER_COMPILED_RE_H

#include <memory>
#include <regex.h>
#include <string>

class compiled_re {
public:
    // Throws std::runtime_error "Invalid regex: \"<pattern>\"" when the
    // pattern does not compile.
    explicit compiled_re(const std::string &pattern);
    compiled_re(const compiled_re &other);
    compiled_re &operator=(const compiled_re &other);
    compiled_re(compiled_re &&other) noexcept = default;
    compiled_re &operator=(compiled_re &&other) noexcept = default;
    ~compiled_re() = default;

    // True when the expression matches somewhere in text (anchored only by
    // its own ^ and $). Throws std::runtime_error "Error in regexec()" when
    // the match itself fails (or on a moved-from object).
    bool match(const std::string &text) const;

    const std::string &pattern() const { return pattern_; }

private:
    struct re_free {
        void operator()(regex_t *re) const;
    };
    std::string pattern_;
    std::unique_ptr<regex_t, re_free> re_;
};

#endif
