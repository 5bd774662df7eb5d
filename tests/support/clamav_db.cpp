// Writes libclamav signature files for tests. The test string itself comes
// from tvd_eicar.h at run time; only its digest is spelt out here, and a
// digest trips no scanner.
#include "support/clamav_db.h"

#include <cstdio>
#include <random>

#include "tavexd/tvd_eicar.h"

namespace tvx_test {

const char *const CLAMAV_EICAR_BODY = "Tavex.Test.EicarBody";
const char *const CLAMAV_EICAR_MD5 = "Tavex.Test.EicarMd5";
const char *const CLAMAV_CLAM_EXE = "Tavex.Test.ClamExe";
const char *const CLAMAV_TESTFILES = "/usr/share/clamav-testfiles";

namespace {

const char eicar_md5[] = "44d88612fea8a8f36de82e1278abb02f";
const char clam_exe_md5[] = "aa15bcf478d165efd2065190eb473bcb";

bool write_text(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "we");
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

}  // namespace

bool clamav_db_write(const std::string &dir, const clamav_db_options &opt)
{
    if (opt.eicar_body) {
        std::string hex;
        char b[3];
        for (unsigned char c : tvd_eicar()) {
            snprintf(b, sizeof b, "%02x", c);
            hex += b;
        }
        if (!write_text(dir + "/test.ndb", std::string(CLAMAV_EICAR_BODY) + ":0:*:" + hex + "\n"))
            return false;
    }
    std::string hdb;
    if (opt.eicar_md5)
        hdb += std::string(eicar_md5) + ":" + std::to_string(tvd_eicar().size()) + ":" + CLAMAV_EICAR_MD5 + "\n";
    if (opt.clam_exe)
        hdb += std::string(clam_exe_md5) + ":544:" + CLAMAV_CLAM_EXE + "\n";
    if (!hdb.empty() && !write_text(dir + "/test.hdb", hdb))
        return false;
    if (opt.random_md5) {
        std::mt19937_64 rng(12345);
        std::string lines;
        char line[80];
        for (size_t i = 0; i < opt.random_md5; ++i) {
            unsigned long long a = rng(), b = rng();
            snprintf(line, sizeof line, "%016llx%016llx:%llu:Tavex.Test.Random.%zu\n", a, b, 1000 + (a % 100000), i);
            lines += line;
        }
        if (!write_text(dir + "/random.hdb", lines))
            return false;
    }
    return true;
}

std::string clamav_reported(const char *name) { return std::string(name) + ".UNOFFICIAL"; }

}  // namespace tvx_test
