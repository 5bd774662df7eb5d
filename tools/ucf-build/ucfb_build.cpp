// Orchestration of a compile. The key is checked before any list is read,
// so a wrong key costs no time; the finished file is checked with the same
// layout check --dump uses and with ucf_verifier before it is renamed.
#include "ucfb_build.h"

#include <vector>

#include "policy/ucf_signature.h"
#include "ucfb_dsa.h"
#include "ucfb_file.h"
#include "ucfb_image.h"
#include "ucfb_keyfile.h"
#include "ucfb_layout.h"
#include "ucfb_records.h"

namespace {

constexpr mode_t k_output_mode = 0644;

}  // namespace

ucfb_rc ucfb_build(const ucfb_options &o, FILE *report, std::string &err)
{
    ucf_dsa_key text;
    ucfb_dsa key;
    ucfb_rc rc = ucfb_key_read(o.key_path, text, err);
    if (rc == UCFB_OK) {
        rc = ucfb_dsa_from_text(text, true, key, err);
        if (rc != UCFB_OK)
            err = o.key_path + ": " + err;
    }
    for (char &c : text.x)
        c = 0;
    if (rc != UCFB_OK)
        return rc;

    ucfb_records records;
    if ((rc = records.init(err)) != UCFB_OK)
        return rc;
    for (const ucfb_input &in : o.inputs)
        if ((rc = ucfb_input_read(in, records, report, err)) != UCFB_OK)
            return rc;
    if (records.empty()) {
        err = "the inputs hold no entry; nothing written";
        return UCFB_ERR_EMPTY;
    }
    records.finish();

    std::vector<unsigned char> image;
    if ((rc = ucfb_image_build(o.type, records, image, err)) != UCFB_OK)
        return rc;
    size_t signed_size = image.size();
    image.resize(signed_size + UCF_SIGNATURE_SIZE);
    if ((rc = ucfb_dsa_sign(key, image.data(), signed_size, image.data() + signed_size, err)) != UCFB_OK)
        return rc;

    ucfb_layout layout;
    ucfb_layout_check(image.data(), image.size(), layout);
    if (!layout.sound()) {
        err = "the file laid out is not sound: " + layout.problems.front();
        return UCFB_ERR_LAYOUT;
    }
    ucf_verifier verifier(text);
    if (!verifier.ok() || !verifier.verify(image.data(), image.size())) {
        err = "the signature made does not verify with the key's public half";
        return UCFB_ERR_SIGNATURE;
    }
    if ((rc = ucfb_write_new(o.out_path, image.data(), image.size(), k_output_mode, UCFB_REPLACE, err)) != UCFB_OK)
        return rc;

    const ucfb_counts &c = records.counts();
    fprintf(report,
            "ucf-build: wrote %s (%s): %zu bytes; %zu patterns, %zu IPv4, %zu IPv6, %zu URL records, "
            "%zu URL records with %zu parameter groups\n",
            o.out_path.c_str(), o.type.c_str(), image.size(), c.patterns, c.ipv4, c.ipv6, c.urls, c.url_params,
            c.groups);
    return UCFB_OK;
}
