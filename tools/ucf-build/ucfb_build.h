// The compile job: inputs into records, records into a file image, the
// image signed with the private key and verified with its public half,
// then written in place of OUT. Nothing is written unless all of it passed.
#ifndef TVX_UCFB_BUILD_H
#define TVX_UCFB_BUILD_H

#include <cstdio>
#include <string>

#include "ucfb_options.h"
#include "ucfb_result.h"

ucfb_rc ucfb_build(const ucfb_options &o, FILE *report, std::string &err);

#endif
