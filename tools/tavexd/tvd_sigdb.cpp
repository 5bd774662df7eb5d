// Reads the signature file of the stand-in scanning daemon into entries.
// Every length is bounded before it is kept; a bad line stops the load with
// the file name and line number, so the daemon never runs on half a set.
#include "tvd_sigdb.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tvd_eicar.h"

static bool tvd_hex_value(char c, int *v)
{
    if (c >= '0' && c <= '9')
        *v = c - '0';
    else if (c >= 'a' && c <= 'f')
        *v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        *v = c - 'A' + 10;
    else
        return false;
    return true;
}

// Hex digits in pairs, blanks allowed between pairs.
static bool tvd_parse_hex(const std::string &text, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        int hi, lo;
        if (i + 1 >= text.size() || !tvd_hex_value(text[i], &hi) || !tvd_hex_value(text[i + 1], &lo))
            return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

// Backslash escapes: \\ \t \n \r \s (blank) \xHH.
static bool tvd_unescape(const std::string &text, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text[i]) {
        case '\\': out.push_back('\\'); break;
        case 't': out.push_back('\t'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 's': out.push_back(' '); break;
        case 'x': {
            int hi, lo;
            if (i + 2 >= text.size() || !tvd_hex_value(text[i + 1], &hi) || !tvd_hex_value(text[i + 2], &lo))
                return false;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

bool tvd_parse_code(const std::string &text, uint32_t *value)
{
    uint32_t v = 0;
    size_t start = 0;
    for (;;) {
        size_t bar = text.find('|', start);
        std::string part = text.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        size_t b = part.find_first_not_of(" \t"), e = part.find_last_not_of(" \t");
        if (b == std::string::npos)
            return false;
        part = part.substr(b, e - b + 1);
        int base = 10;
        const char *digits = part.c_str();
        if (part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
            base = 16;
            digits += 2;
        }
        if (!*digits || strspn(digits, base == 16 ? "0123456789abcdefABCDEF" : "0123456789") != strlen(digits))
            return false;
        errno = 0;
        unsigned long long n = strtoull(digits, nullptr, base);
        if (errno || n > 0xFFFFFFFFull)
            return false;
        v |= static_cast<uint32_t>(n);
        if (bar == std::string::npos)
            break;
        start = bar + 1;
    }
    *value = v;
    return true;
}

// Checks a finished entry; an empty result means it is sound.
static std::string tvd_entry_problem(const tvd_signature &s)
{
    if (s.kind == TVD_SIG_NONE)
        return "entry has no match rule (text, hex, eicar, md5, sha256 or any)";
    if (s.cure == TVD_CURE_REMOVE && s.kind != TVD_SIG_PATTERN)
        return "cure remove needs a byte pattern";
    return "";
}

bool tvd_sigdb_parse(const std::string &text, const std::string &origin, tvd_sigdb &db, std::string &error)
{
    tvd_sigdb out;
    tvd_signature *cur = nullptr;
    unsigned lineno = 0;
    auto fail = [&](unsigned at, const std::string &why) {
        error = origin + ":" + std::to_string(at) + ": " + why;
        return false;
    };
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        ++lineno;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos || line[b] == '#')
            continue;
        size_t e = line.find_last_not_of(" \t");
        line = line.substr(b, e - b + 1);
        size_t ke = line.find_first_of(" \t");
        std::string key = line.substr(0, ke);
        std::string value;
        if (ke != std::string::npos)
            value = line.substr(line.find_first_not_of(" \t", ke));

        if (key == "signature") {
            if (cur) {
                std::string p = tvd_entry_problem(*cur);
                if (!p.empty())
                    return fail(cur->line, p);
            }
            if (value.empty())
                return fail(lineno, "signature needs a threat name");
            if (value.size() > TVD_MAX_NAME)
                return fail(lineno, "threat name longer than 255 bytes");
            for (unsigned char c : value)
                if (c < 0x20 || c == 0x7f)
                    return fail(lineno, "control character in threat name");
            if (out.sigs.size() >= TVD_MAX_SIGS)
                return fail(lineno, "too many signatures");
            out.sigs.emplace_back();
            cur = &out.sigs.back();
            cur->name = value;
            cur->line = lineno;
            continue;
        }
        if (!cur)
            return fail(lineno, "'" + key + "' outside a signature entry");

        bool matcher = key == "text" || key == "hex" || key == "eicar" || key == "md5" || key == "sha256" ||
                       key == "any";
        if (matcher && cur->kind != TVD_SIG_NONE)
            return fail(lineno, "entry has more than one match rule");
        if ((key == "eicar" || key == "any") && !value.empty())
            return fail(lineno, "'" + key + "' takes no value");
        if (key == "text" || key == "hex") {
            std::string bytes;
            bool ok = key == "text" ? tvd_unescape(value, bytes) : tvd_parse_hex(value, bytes);
            if (!ok)
                return fail(lineno, "bad " + key + " pattern");
            if (bytes.empty())
                return fail(lineno, "empty pattern");
            if (bytes.size() > TVD_MAX_PATTERN)
                return fail(lineno, "pattern longer than 4096 bytes");
            cur->kind = TVD_SIG_PATTERN;
            cur->match = bytes;
        } else if (key == "eicar") {
            cur->kind = TVD_SIG_PATTERN;
            cur->match = tvd_eicar();
        } else if (key == "md5" || key == "sha256") {
            std::string digest;
            size_t want = key == "md5" ? 16 : 32;
            if (value.find_first_of(" \t") != std::string::npos || !tvd_parse_hex(value, digest) ||
                digest.size() != want)
                return fail(lineno, "bad " + key + " digest");
            cur->kind = key == "md5" ? TVD_SIG_MD5 : TVD_SIG_SHA256;
            cur->match = digest;
        } else if (key == "any") {
            cur->kind = TVD_SIG_ANY;
        } else if (key == "code") {
            if (!tvd_parse_code(value, &cur->code))
                return fail(lineno, "bad response code");
        } else if (key == "cure") {
            if (value == "none")
                cur->cure = TVD_CURE_NONE;
            else if (value == "remove")
                cur->cure = TVD_CURE_REMOVE;
            else if (value == "delete")
                cur->cure = TVD_CURE_DELETE;
            else
                return fail(lineno, "cure must be none, remove or delete");
        } else if (key == "report" || key == "cured") {
            std::string tmpl;
            if (!tvd_unescape(value, tmpl))
                return fail(lineno, "bad escape in " + key + " line");
            if (tmpl.size() > TVD_MAX_TEMPLATE)
                return fail(lineno, key + " line longer than 1024 bytes");
            std::vector<std::string> &lines = key == "report" ? cur->report : cur->cured;
            if (lines.size() >= TVD_MAX_LINES)
                return fail(lineno, "too many " + key + " lines");
            lines.push_back(tmpl);
        } else {
            return fail(lineno, "unknown key '" + key + "'");
        }
    }
    if (cur) {
        std::string p = tvd_entry_problem(*cur);
        if (!p.empty())
            return fail(cur->line, p);
    }
    for (const tvd_signature &s : out.sigs)
        if (s.kind == TVD_SIG_PATTERN && s.match.size() > out.max_pattern)
            out.max_pattern = s.match.size();
    db = std::move(out);
    return true;
}

bool tvd_sigdb_load(const std::string &path, tvd_sigdb &db, std::string &error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(TVD_MAX_SIGFILE)) {
        error = path + ": not a regular file of at most 4 MiB";
        close(fd);
        return false;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    text.resize(got);
    return tvd_sigdb_parse(text, path, db, error);
}

void tvd_sigdb_builtin(tvd_sigdb &db)
{
    db = tvd_sigdb();
    tvd_signature s;
    s.name = "EICAR-Test-File,K";
    s.kind = TVD_SIG_PATTERN;
    s.match = tvd_eicar();
    s.code = 0x20;
    s.cure = TVD_CURE_REMOVE;
    db.sigs.push_back(s);
    db.max_pattern = s.match.size();
}
