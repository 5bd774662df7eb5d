// Compilation and matching of the configuration's regular expressions with
// regcomp/regexec. The system's own error text is never shown to the user.
#include "conf_parser/compiled_re.h"

#include <cctype>
#include <stdexcept>
#include <vector>

#include "log/log.h"

namespace {

// Largest parse tree, in atoms, a pattern may make regcomp build. Patterns
// of URLs and user names stay far below; stacked or nested repeats such as
// "a++++++++++++++++++++++++++" would otherwise take gigabytes.
constexpr unsigned long re_size_max = 100000;

unsigned long re_add(unsigned long a, unsigned long b) { return a > re_size_max - b ? re_size_max : a + b; }
unsigned long re_mul(unsigned long a, unsigned long b) { return b && a > re_size_max / b ? re_size_max : a * b; }

// Index of the ']' that closes the bracket expression opening at i, or
// the end of the pattern.
size_t re_bracket_end(const std::string &p, size_t i)
{
    size_t j = i + 1;
    if (j < p.size() && p[j] == '^')
        ++j;
    if (j < p.size() && p[j] == ']')
        ++j;
    for (; j < p.size() && p[j] != ']'; ++j)
        if (p[j] == '[' && j + 1 < p.size() && (p[j + 1] == ':' || p[j + 1] == '.' || p[j + 1] == '=')) {
            size_t k = p.find(std::string(1, p[j + 1]) + "]", j + 2);
            if (k == std::string::npos)
                return p.size();
            j = k + 1;
        }
    return j;
}

// Size, in atoms, of the tree regcomp builds for p (at most re_size_max):
// a repeat copies what it applies to, once more for '+', up to its bound
// for "{m,n}", so that stacked and nested repeats multiply.
unsigned long re_expanded_size(const std::string &p)
{
    struct level {
        unsigned long total = 0;  // atoms of this group so far
        unsigned long last = 0;   // atoms of the last item, which a repeat copies
    };
    std::vector<level> st(1);
    for (size_t i = 0; i < p.size() && st.back().total < re_size_max; ++i) {
        unsigned long atoms = 1;
        unsigned long factor = 0;  // a repeat: copies of the last item
        char c = p[i];
        if (c == '\\') {
            ++i;
        } else if (c == '[') {
            i = re_bracket_end(p, i);
        } else if (c == '(') {
            st.emplace_back();
            continue;
        } else if (c == ')' && st.size() > 1) {
            atoms = st.back().total ? st.back().total : 1;
            st.pop_back();
        } else if (c == '|') {
            st.back().last = 0;
            continue;
        } else if (c == '*' || c == '?') {
            continue;
        } else if (c == '+') {
            factor = 2;
        } else if (c == '{' && i + 1 < p.size() && isdigit(static_cast<unsigned char>(p[i + 1]))) {
            unsigned long m = 0;
            for (++i; i < p.size() && isdigit(static_cast<unsigned char>(p[i])); ++i)
                m = re_add(re_mul(m, 10), static_cast<unsigned long>(p[i] - '0'));
            unsigned long n = m;
            if (i + 1 < p.size() && p[i] == ',' && isdigit(static_cast<unsigned char>(p[i + 1])))
                for (n = 0, ++i; i < p.size() && isdigit(static_cast<unsigned char>(p[i])); ++i)
                    n = re_add(re_mul(n, 10), static_cast<unsigned long>(p[i] - '0'));
            else if (i < p.size() && p[i] == ',')
                ++i;
            factor = re_add(n > m ? n : m, 1);
        }
        level &l = st.back();
        if (factor) {
            unsigned long grown = re_mul(l.last, factor);
            l.total = re_add(l.total - l.last, grown);
            l.last = grown;
        } else {
            l.total = re_add(l.total, atoms);
            l.last = atoms;
        }
    }
    unsigned long size = 0;
    for (const level &l : st)
        size = re_add(size, l.total);
    return size;
}

}  // namespace

void compiled_re::re_free::operator()(regex_t *re) const
{
    regfree(re);
    delete re;
}

compiled_re::compiled_re(const std::string &pattern) : pattern_(pattern)
{
    if (re_expanded_size(pattern_) >= re_size_max) {
        icapd_log(LOG_L_ERROR, "Regex repeats expand beyond %u atoms: \"%s\"\n", static_cast<unsigned>(re_size_max),
                  pattern_.c_str());
        throw std::runtime_error("Invalid regex: \"" + pattern_ + "\"");
    }
    std::unique_ptr<regex_t> re(new regex_t);
    if (regcomp(re.get(), pattern_.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0)
        throw std::runtime_error("Invalid regex: \"" + pattern_ + "\"");
    re_.reset(re.release());
}

// A moved-from object copies as another empty shell.
compiled_re::compiled_re(const compiled_re &other) : pattern_(other.pattern_)
{
    if (other.re_)
        *this = compiled_re(pattern_);
}

compiled_re &compiled_re::operator=(const compiled_re &other)
{
    if (this != &other)
        *this = compiled_re(other);
    return *this;
}

bool compiled_re::match(const std::string &text) const
{
    if (!re_)
        throw std::runtime_error("Error in regexec()");
    int rc = regexec(re_.get(), text.c_str(), 0, nullptr, 0);
    if (rc == 0)
        return true;
    if (rc == REG_NOMATCH)
        return false;
    throw std::runtime_error("Error in regexec()");
}
