// Response codes, threat names and report lines of the stand-in scanning
// daemon. The phrases are the ones the ICAP daemon recognises in report lines;
// each line names the object, a tab, then the phrase (and the threat name).
#include "tvd_verdict.h"

namespace {

struct tvd_phrase {
    uint32_t bits;
    const char *phrase;
    const char *made_up_name;  // threat name used for a code alone; null: no threat
};

// In the order report lines are written: threats, errors, skips, archive
// limits, then what was done to the object, then the clean line.
const tvd_phrase tvd_phrases[] = {
    {0x20, "infected with", "Tavex.Test.Known,K"},
    {0x80, "infected with modification of", "Tavex.Test.Modified,M"},
    {0x40, "probably infected with", "Tavex.Test.Suspicious,S"},
    {0x400000, "contains an advertising software", "Tavex.Test.Adware,A"},
    {0x800000, "contains a dialer program", "Tavex.Test.Dialer,D"},
    {0x1000000, "contains a joke (hoax) program", "Tavex.Test.Joke,J"},
    {0x2000000, "contains a potentially dangerous software", "Tavex.Test.Riskware,R"},
    {0x4000000, "contains an intrusion tool", "Tavex.Test.Hacktool,H"},
    {0x1, "read error!", nullptr},
    {0x2, "write error!", nullptr},
    {0x4, "no memory", nullptr},
    {0x10, "cannot open file with error: Input/output error", nullptr},
    {0x8000, "decompression error!", nullptr},
    {0x8, "CRC error!", nullptr},
    {0x200, "password protected, skipped", nullptr},
    {0x400, "splitted file, skipped", nullptr},
    {0x800, "the size of the file is equal to zero, skipped", nullptr},
    {0x1000, "file too large, skipped", nullptr},
    {0x2000 | 0x4000 | 0x40000, "nesting limit!", nullptr},
    {0x100, "cured!", nullptr},
    {0x80000, "deleted!", nullptr},
    {0x100000, "Ok", nullptr},
};

const size_t tvd_max_line = 8192;

} // namespace

std::vector<std::string> tvd_code_lines(uint32_t code)
{
    std::vector<std::string> out;
    for (const tvd_phrase &p : tvd_phrases) {
        if (!(code & p.bits))
            continue;
        std::string line = std::string("%p\t") + p.phrase;
        if (p.made_up_name)
            line += " %n";
        out.push_back(line);
    }
    return out;
}

std::string tvd_expand(const std::string &tmpl, const std::string &object, const std::string &name)
{
    std::string bare = name;
    if (bare.size() >= 3 && bare[bare.size() - 2] == ',')
        bare.resize(bare.size() - 2);
    std::string out;
    for (size_t i = 0; i < tmpl.size() && out.size() < tvd_max_line; ++i) {
        if (tmpl[i] != '%' || i + 1 == tmpl.size()) {
            out.push_back(tmpl[i]);
            continue;
        }
        switch (tmpl[++i]) {
        case 'p': out += object; break;
        case 'n': out += bare; break;
        case 'N': out += name; break;
        case '%': out.push_back('%'); break;
        default:
            out.push_back('%');
            out.push_back(tmpl[i]);
        }
    }
    if (out.size() > tvd_max_line)
        out.resize(tvd_max_line);
    return out;
}

tvd_verdict tvd_verdict_for_code(uint32_t code, const std::string &object)
{
    tvd_verdict v;
    v.code = code;
    for (const tvd_phrase &p : tvd_phrases) {
        if (!(code & p.bits))
            continue;
        std::string name = p.made_up_name ? p.made_up_name : "";
        if (p.made_up_name)
            v.names.push_back(name);
        v.lines.push_back(tvd_expand(std::string("%p\t") + p.phrase + (p.made_up_name ? " %n" : ""), object, name));
    }
    if (code & TVD_CODE_DELETED)
        v.body = TVD_BODY_EMPTY;
    return v;
}

tvd_verdict tvd_judge(const tvd_sigdb &db, const std::vector<bool> &hits, const std::string &object,
                      uint32_t options, const uint32_t *fixed)
{
    std::vector<const tvd_signature *> found;
    for (size_t i = 0; i < db.sigs.size() && i < hits.size(); ++i)
        if (hits[i])
            found.push_back(&db.sigs[i]);

    if (fixed) {
        // A fixed answer: its own names and lines; a cure still cuts out the
        // patterns that were found, so the returned object is really cured.
        tvd_verdict v = tvd_verdict_for_code(*fixed, object);
        if (v.body != TVD_BODY_EMPTY && (*fixed & TVD_CODE_CURED)) {
            for (const tvd_signature *s : found)
                if (s->cure == TVD_CURE_REMOVE)
                    v.remove.push_back(s->match);
            if (!v.remove.empty())
                v.body = TVD_BODY_REMOVE;
        }
        return v;
    }

    tvd_verdict v;
    if (found.empty()) {
        v.code = TVD_CODE_OK;
        v.lines.push_back(tvd_expand("%p\tOk", object, ""));
        return v;
    }
    bool curable = (options & TVD_OPT_CURE) != 0;
    bool deletes = false;
    for (const tvd_signature *s : found) {
        v.code |= s->code;
        v.names.push_back(s->name);
        const std::vector<std::string> lines = s->report.empty() ? tvd_code_lines(s->code) : s->report;
        for (const std::string &t : lines)
            v.lines.push_back(tvd_expand(t, object, s->name));
        curable = curable && s->cure != TVD_CURE_NONE;
        deletes = deletes || s->cure == TVD_CURE_DELETE;
    }
    if (!curable)
        return v;

    bool own_lines = false;
    for (const tvd_signature *s : found) {
        for (const std::string &t : s->cured) {
            v.lines.push_back(tvd_expand(t, object, s->name));
            own_lines = true;
        }
        if (s->cure == TVD_CURE_REMOVE)
            v.remove.push_back(s->match);
    }
    if (deletes) {
        v.code |= TVD_CODE_DELETED;
        v.body = TVD_BODY_EMPTY;
        v.remove.clear();
    } else {
        v.code |= TVD_CODE_CURED;
        v.body = TVD_BODY_REMOVE;
    }
    if (!own_lines)
        v.lines.push_back(tvd_expand(deletes ? "%p\tdeleted!" : "%p\tcured!", object, ""));
    return v;
}
