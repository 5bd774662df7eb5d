// ucf-build: makes the DSA key pair URL-category files are signed with,
// compiles URL, host, address and substring lists into one signed category
// file, and prints and checks what a category file holds.
#include <cstdio>
#include <string>

#include "ucfb_build.h"
#include "ucfb_dump.h"
#include "ucfb_keyfile.h"
#include "ucfb_options.h"

int main(int argc, char **argv)
{
    ucfb_options o;
    std::string err;
    ucfb_rc rc = ucfb_options_parse(argc, argv, o, err);
    if (rc != UCFB_OK) {
        fprintf(stderr, "ucf-build: %s\n", err.c_str());
        ucfb_usage(stderr);
        return ucfb_exit_status(rc);
    }
    switch (o.mode) {
    case UCFB_MODE_HELP:
        ucfb_usage(stdout);
        return 0;
    case UCFB_MODE_GEN_KEY:
        rc = ucfb_gen_key(o.gen_key_path, err);
        if (rc == UCFB_OK)
            fprintf(stderr, "ucf-build: wrote %s and %s\n", o.gen_key_path.c_str(),
                    ucfb_public_key_path(o.gen_key_path).c_str());
        break;
    case UCFB_MODE_BUILD:
        rc = ucfb_build(o, stderr, err);
        break;
    case UCFB_MODE_DUMP: {
        ucfb_dump_options d;
        d.path = o.dump_path;
        d.key_path = o.key_path;
        d.verbose = o.verbose;
        rc = ucfb_dump(d, stdout, err);
        if (fflush(stdout) != 0 && rc == UCFB_OK) {
            err = "cannot write the dump";
            rc = UCFB_ERR_IO;
        }
        break;
    }
    }
    if (rc != UCFB_OK && !err.empty())
        fprintf(stderr, "ucf-build: %s\n", err.c_str());
    return ucfb_exit_status(rc);
}
