// Value parsers of the configuration language and the line-file reader.
// Messages are fixed texts that the parser prefixes with a line number.
#include "conf_parser/values.h"

#include <cctype>
#include <climits>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

#include "conf_parser/cidr.h"
#include "conf_parser/compiled_re.h"
#include "log/log.h"

// Whole-text comparison after case folding under the process locale.
static bool equal_nocase(const std::string &a, const char *b)
{
    std::string::size_type i = 0;
    for (; i < a.size() && b[i] != '\0'; i++)
        if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i]))
            return false;
    return i == a.size() && b[i] == '\0';
}

bool cf_parse_bool(const std::string &text)
{
    if (equal_nocase(text, "true") || equal_nocase(text, "yes"))
        return true;
    if (equal_nocase(text, "false") || equal_nocase(text, "no"))
        return false;
    throw std::runtime_error("Error parsing bool");
}

digital_t cf_parse_digital(const std::string &text)
{
    if (text.empty())
        throw std::runtime_error("Error parsing digital_t");
    std::istringstream in(text);
    int value = 0;
    // A value outside int sets failbit, so the range check comes with the read.
    if (!(in >> value) || !in.eof())
        throw std::runtime_error("Error parsing digital_t");
    return value;
}

unsigned long cf_parse_size(const std::string &text)
{
    static const char bad[] = "Error parsing size";
    static const char overflow[] = "Error parsing size: overflow";

    if (text.empty())
        throw std::runtime_error(bad);
    if (equal_nocase(text, "inf"))
        return 0;

    // Read the number by hand: no blanks, no sign, and a 64-bit bound.
    std::string::size_type pos = 0;
    unsigned long number = 0;
    bool too_big = false;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        unsigned digit = text[pos] - '0';
        if (number > (ULONG_MAX - digit) / 10)
            too_big = true;
        else
            number = number * 10 + digit;
        pos++;
    }
    if (pos == 0)
        throw std::runtime_error(bad);

    unsigned long factor = 1024, limit = 0x3FFFFFFFFFFFFFul;
    if (pos < text.size()) {
        switch (text[pos]) {
        case 'k': case 'K': factor = 1024; limit = 0x3FFFFFFFFFFFFFul; break;
        case 'm': case 'M': factor = 1048576; limit = 0xFFFFFFFFFFFul; break;
        case 'b': factor = 1; limit = ULONG_MAX; break;
        default: throw std::runtime_error(bad);
        }
        pos++;
    }
    if (too_big || number > limit)
        throw std::overflow_error(overflow);
    if (pos != text.size())
        throw std::runtime_error(bad);
    return number * factor;
}

std::vector<std::string> cf_parse_string_list(const std::string &text)
{
    if (text.empty())
        return {};
    return {text};
}

// Conversion of one line-file entry to its element type.
template <class T>
static T convert_entry(const std::string &line);
template <>
std::string convert_entry<std::string>(const std::string &line) { return line; }
template <>
compiled_re convert_entry<compiled_re>(const std::string &line) { return compiled_re(line); }
template <>
cidr_ptr convert_entry<cidr_ptr>(const std::string &line) { return make_cidr(line); }

// Empty, blank, or a comment after optional blanks.
static bool skipped_line(const std::string &line)
{
    std::string::size_type i = line.find_first_not_of(" \t");
    return i == std::string::npos || line[i] == '#' || line[i] == ';';
}

template <class T>
std::vector<T> load_file(const std::string &path)
{
    // A directory opens for reading but yields nothing: refuse it here.
    struct stat st;
    std::ifstream in;
    if (stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        in.open(path, std::ios::in | std::ios::binary);
    if (!in.is_open())
        throw std::runtime_error("Error opening file: " + path);
    icapd_log(LOG_L_HEADERS, "Loading data from file: %s\n", path.c_str());

    std::vector<T> entries;
    std::string line;
    while (std::getline(in, line)) {
        if (skipped_line(line))
            continue;
        icapd_log(LOG_L_HEADERS, "load_file: string: \"%s\"\n", line.c_str());
        entries.push_back(convert_entry<T>(line));
    }
    // A read error must not pass for the end of a shorter list.
    if (in.bad())
        throw std::runtime_error("Error reading file: " + path);
    return entries;
}

template std::vector<std::string> load_file<std::string>(const std::string &path);
template std::vector<compiled_re> load_file<compiled_re>(const std::string &path);
template std::vector<cidr_ptr> load_file<cidr_ptr>(const std::string &path);
