// Signature directories for the libclamav engine, written at test time: the
// test string as a body pattern and as a digest, the digest of the sample
// programme clamav-testfiles unpacks to, and random digests for size tests.
#ifndef TVX_TESTS_CLAMAV_DB_H
#define TVX_TESTS_CLAMAV_DB_H

#include <cstddef>
#include <string>

namespace tvx_test {

// Signature names as written; libclamav reports them with ".UNOFFICIAL".
extern const char *const CLAMAV_EICAR_BODY;  // test.ndb
extern const char *const CLAMAV_EICAR_MD5;   // test.hdb
extern const char *const CLAMAV_CLAM_EXE;    // test.hdb
extern const char *const CLAMAV_TESTFILES;   // the samples' folder

struct clamav_db_options {
    bool eicar_body = true;
    bool eicar_md5 = true;
    bool clam_exe = true;
    size_t random_md5 = 0;  // extra lines in random.hdb
};

// Writes test.ndb / test.hdb (/ random.hdb) into the existing directory dir.
// False when a file cannot be written.
bool clamav_db_write(const std::string &dir, const clamav_db_options &opt = clamav_db_options());

// The name as libclamav reports a signature of ours.
std::string clamav_reported(const char *name);

}  // namespace tvx_test

#endif
