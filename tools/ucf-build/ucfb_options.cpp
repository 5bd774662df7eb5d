// Options in any order, each value as the next argument or after "=";
// inputs keep the order they were given in. Every option is listed once,
// in the table below, with whether it takes a value.
#include "ucfb_options.h"

#include <cstring>

#include "ucfb_category.h"

namespace {

enum option_id {
    OPT_HELP, OPT_GEN_KEY, OPT_CATEGORY, OPT_WHITE, OPT_KEY, OPT_OUT, OPT_URLS, OPT_SUBSTRINGS, OPT_LISTS,
    OPT_DUMP, OPT_VERBOSE,
};

struct option_row {
    const char *name;
    option_id id;
    bool takes_value;
};

const option_row k_options[] = {
    {"--help", OPT_HELP, false},         {"-h", OPT_HELP, false},
    {"--gen-key", OPT_GEN_KEY, true},    {"--category", OPT_CATEGORY, true},
    {"--white", OPT_WHITE, false},       {"--key", OPT_KEY, true},
    {"-o", OPT_OUT, true},               {"--output", OPT_OUT, true},
    {"--urls", OPT_URLS, true},          {"--substrings", OPT_SUBSTRINGS, true},
    {"--from-lists", OPT_LISTS, true},   {"--dump", OPT_DUMP, true},
    {"--verbose", OPT_VERBOSE, false},   {"-v", OPT_VERBOSE, false},
};

const option_row *find_option(const std::string &name)
{
    for (const option_row &r : k_options)
        if (name == r.name)
            return &r;
    return nullptr;
}

// Which job the options ask for, and whether they fit it.
ucfb_rc settle_mode(ucfb_options &o, bool help, std::string &err)
{
    bool build = !o.category.empty() || !o.out_path.empty() || !o.inputs.empty() || o.white;
    int jobs = (help ? 1 : 0) + (!o.gen_key_path.empty() ? 1 : 0) + (!o.dump_path.empty() ? 1 : 0) + (build ? 1 : 0);
    if (jobs > 1) {
        err = "--help, --gen-key, --dump and compiling are separate jobs; ask for one";
        return UCFB_ERR_USAGE;
    }
    if (help) {
        o.mode = UCFB_MODE_HELP;
        return UCFB_OK;
    }
    if (jobs == 0) {
        err = "nothing to do";
        return UCFB_ERR_USAGE;
    }
    if (!o.gen_key_path.empty()) {
        o.mode = UCFB_MODE_GEN_KEY;
        if (!o.key_path.empty() || o.verbose) {
            err = "--gen-key takes no other option";
            return UCFB_ERR_USAGE;
        }
        return UCFB_OK;
    }
    if (!o.dump_path.empty()) {
        o.mode = UCFB_MODE_DUMP;
        return UCFB_OK;
    }
    o.mode = UCFB_MODE_BUILD;
    if (o.category.empty() || o.key_path.empty() || o.out_path.empty() || o.inputs.empty()) {
        err = "compiling needs --category, --key, -o and at least one of --urls, --substrings, --from-lists";
        return UCFB_ERR_USAGE;
    }
    if (o.verbose) {
        err = "--verbose belongs to --dump";
        return UCFB_ERR_USAGE;
    }
    o.type = ucfb_category_type(o.category, o.white);
    if (o.type.empty()) {
        err = "no category \"" + o.category + "\"; the categories are " + ucfb_category_list();
        return UCFB_ERR_USAGE;
    }
    return UCFB_OK;
}

}  // namespace

ucfb_rc ucfb_options_parse(int argc, char **argv, ucfb_options &o, std::string &err)
{
    o = ucfb_options();
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        bool inline_value = eq != std::string::npos;
        if (inline_value) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        const option_row *row = find_option(arg);
        if (!row) {
            err = "unknown option " + std::string(argv[i]);
            return UCFB_ERR_USAGE;
        }
        if (row->takes_value && !inline_value) {
            if (i + 1 >= argc) {
                err = arg + " needs a value";
                return UCFB_ERR_USAGE;
            }
            value = argv[++i];
        } else if (!row->takes_value && inline_value) {
            err = arg + " takes no value";
            return UCFB_ERR_USAGE;
        }
        if (row->takes_value && value.empty()) {
            err = arg + " needs a value";
            return UCFB_ERR_USAGE;
        }
        std::string *once = nullptr;
        switch (row->id) {
        case OPT_HELP: help = true; break;
        case OPT_GEN_KEY: once = &o.gen_key_path; break;
        case OPT_CATEGORY: once = &o.category; break;
        case OPT_WHITE: o.white = true; break;
        case OPT_KEY: once = &o.key_path; break;
        case OPT_OUT: once = &o.out_path; break;
        case OPT_URLS: o.inputs.push_back({UCFB_INPUT_URLS, value}); break;
        case OPT_SUBSTRINGS: o.inputs.push_back({UCFB_INPUT_SUBSTRINGS, value}); break;
        case OPT_LISTS: o.inputs.push_back({UCFB_INPUT_LISTS, value}); break;
        case OPT_DUMP: once = &o.dump_path; break;
        case OPT_VERBOSE: o.verbose = true; break;
        }
        if (once) {
            if (!once->empty()) {
                err = arg + " is given twice";
                return UCFB_ERR_USAGE;
            }
            *once = value;
        }
    }
    return settle_mode(o, help, err);
}

void ucfb_usage(FILE *out)
{
    fprintf(out,
            "usage: ucf-build --gen-key FILE\n"
            "       ucf-build --category NAME [--white] --key PRIVATE_KEY -o OUT.ucf\n"
            "                 (--urls FILE | --substrings FILE | --from-lists DIR)...\n"
            "       ucf-build --dump FILE [--key PUBLIC_KEY] [--verbose]\n"
            "       ucf-build --help\n"
            "\n"
            "--gen-key FILE     make a DSA key pair: FILE (private, mode 0600) and its public\n"
            "                   half (\".private\" replaced by, or else followed by, \".public\")\n"
            "--category NAME    the category compiled: %s\n"
            "--white            a white list of that category (type \"whitelist_NAME\")\n"
            "--key FILE         the private key that signs; with --dump, the public key that\n"
            "                   verifies (default: the key built into the daemon)\n"
            "-o, --output FILE  the category file written\n"
            "--urls FILE        entries, one a line: host, host/path, host/path?a=1&b=2,\n"
            "                   an IPv4 address, an IPv6 address (in brackets before a path)\n"
            "--substrings FILE  patterns looked for anywhere in a URL, ignoring case\n"
            "--from-lists DIR   DIR/domains and DIR/urls of a category blacklist folder\n"
            "--dump FILE        print what a category file holds and check its signature\n"
            "-v, --verbose      with --dump: every record with its digest\n",
            ucfb_category_list().c_str());
}
