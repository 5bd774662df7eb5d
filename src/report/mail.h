// E-mail notifications of the administrator (Hostmaster): the lock file
// per object in Cache that allows one message per MailCache seconds, the
// mail command, and the expansion of "/email.templ" into it. A failure is
// logged and returned; it never changes what the client is answered.
#ifndef TVX_REPORT_MAIL_H
#define TVX_REPORT_MAIL_H

#include <cstdio>
#include <string>

#include "report/template.h"
#include "request/request.h"

// Hostmaster texts the mail command line accepts: the characters of an
// address, never a shell's.
bool mail_address_is_safe(const std::string &address);

// The mail command line: MailCommand with its first "%s" replaced by the
// recipient and "%%" by "%"; any other "%" stays as written.
std::string mail_command_line(const std::string &format, const std::string &recipient);

// The lock file for a message about this object: Cache + "lock." + the
// object name (lock_name, or the quarantine file name of rq when it is
// empty) with "/" replaced by "|", cut below the name length limit.
std::string mail_lock_path(icap_request &rq, const std::string &lock_name);

// Expands the e-mail template read from in into out with the macros of a
// notification ($HOSTMASTER$, $REASON$, $TIME$, $IP$, $ACTION$, $SIZE$,
// $URL$, $HTML_PAGE$). Returns 200, or 0 when out could not be written.
int mail_expand(FILE *in, FILE *out, icap_request &rq, icap_entity &entity, const char *reason, const char *word,
                const char *page_tmpl, const page_values &values);

// Sends the notification for rq and entity: reason, action word, the page
// of template page_tmpl embedded as $HTML_PAGE$ (built with values), and
// lock_name as above. Returns 200 (also when a fresh lock file suppressed
// the message), 0 after logging a failure. The mail command is bounded by
// Timeout.
int tvx_report_file(icap_request &rq, icap_entity &entity, const char *reason, const char *word,
                    const char *page_tmpl, const std::string &lock_name, const page_values &values);

#endif
