// Report pages built from template files: the one-slot macro expander and
// the page builder that writes into a body's temp file or an open stream.
// Every value taken from the request or the scanning daemon is HTML-escaped.
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

// make_report_page: builds the page of template tmpl (a name such as
// REPORT_ACCESS_DENIED) for request rq.
//   stream == nullptr: the page replaces the contents of entity's temp file
//     (entity.path, rewritten from scratch); afterwards entity.fd is open on
//     it, positioned at its start, and entity.size is the page's size.
//   stream != nullptr: the page is written to that stream; entity is only
//     read (the e-mail notification embeds the page this way).
//   no_daemon: the scanning daemon is not asked for $RELEASE$ and
//     $DAEMON_REPORT$ (for the page shown after a communication failure).
// Returns 200, or 0 after logging why (missing template, unwritable file).
// A missing template is never fatal to the process.
int make_report_page(icap_request &rq, icap_entity &entity, const char *tmpl, FILE *stream, bool no_daemon);

// The macro expander of report pages: copies tmpl to out with every macro
// of the page set replaced. Returns 200, or 0 when out could not be written.
int parse_template(FILE *tmpl, FILE *out, bool no_daemon, icap_request &rq);

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
