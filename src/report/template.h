// Report pages built from template files: the one-slot macro expander and
// the page builder that writes into a body's temp file or an open stream.
// Every value taken from the request or the scanning daemon is HTML-escaped.
// Pages take what they show of the scanning daemon from the values their
// caller gathered; the page builder never talks to the daemon.
#ifndef TVX_REPORT_TEMPLATE_H
#define TVX_REPORT_TEMPLATE_H

#include <cstdio>
#include <functional>
#include <string>

#include "request/request.h"

// Template names, appended to the Templates directory as they stand.
#define REPORT_ACCESS_DENIED "/ERR_ACCESS_DENIED"
#define REPORT_ACCESS_DENIED_MOVED "/ERR_ACCESS_DENIED_MOVED"
#define REPORT_FAILED_CHECK "/ERR_FAILED_CHECK"
#define REPORT_DOWNLOAD_BLOCK "/ERR_DOWNLOAD_BLOCK"
#define REPORT_EMAIL "/email.templ"

// A macro text ("$" name "$") collects at most this many characters.
constexpr size_t TEMPLATE_MACRO_MAX = 9999;

// Host of the action URL of the $MANUAL_SUBMIT$ form (path "/post_link/").
#define REPORT_SUBMIT_HOST "submit.tavex.example"

// What a page shows of the scanning daemon, gathered by the caller before
// the page is built.
struct page_values {
    // The daemon's information text ($RELEASE$); empty: "unknown".
    std::string release;
    // The daemon answered the information command just before: an empty
    // report then shows nothing instead of the communication error.
    bool daemon_answered = false;
};

// make_report_page: builds the page of template tmpl (a name such as
// REPORT_ACCESS_DENIED) for request rq.
//   stream == nullptr: the page replaces the contents of entity's temp
//     file, written through the descriptor the entity holds; an entity
//     without a file (its body went to quarantine) gets a new temp file in
//     Cache. Afterwards entity.fd is open on the page and entity.size is
//     its size.
//   stream != nullptr: the page is written to that stream; entity is only
//     read (the e-mail notification embeds the page this way).
// Returns 200, or 0 after logging why (missing template, unwritable file).
// A missing template is never fatal to the process.
int make_report_page(icap_request &rq, icap_entity &entity, const char *tmpl, FILE *stream,
                     const page_values &values);

// The macro expander of report pages: copies tmpl to out with every macro
// of the page set replaced. Returns 200, or 0 when out could not be written.
int parse_template(FILE *tmpl, FILE *out, const page_values &values, icap_request &rq);

// Handler of one collected macro text (with both dollar signs), for
// template_expand. Sets expansion and returns 1 for a known macro, returns
// 0 for an unknown one, -1 to fail the expansion. It may read the rest of
// the template line from in (as $MANUAL_SUBMIT$ does) and may write to out
// directly (then leaving expansion empty).
typedef std::function<int(const std::string &macro, FILE *in, FILE *out, std::string &expansion)>
    template_macro_fn;

// The one-slot writer shared by pages and e-mails: one character of text,
// one macro's expansion or one unrecognised "$" text is pending at a time
// and written before the next is handled. An unrecognised text is copied
// without its last character, which is then read again, so a closing "$"
// may open the next macro. log_tag names each collected macro text in the
// level-32 log ("Find macros", "Search macros"). Returns 200, or 0 when a
// write failed (logged "writing to pipe: ...") or the handler failed.
int template_expand(FILE *in, FILE *out, const template_macro_fn &fn, const char *log_tag);

// Text made safe for HTML element content and attribute values: & < > " '.
std::string html_escape(const std::string &text);

// The URL as $URL_SHORT$ shows it: whole up to 60 characters, otherwise its
// first 57 characters followed by "...".
std::string report_short_url(const char *url);

#endif
