// Test helper: runs a MailCommand as the daemon does - the recipient put in
// place of its "%s", the line run by /bin/sh -c with the message written to
// its standard input - but bounded by a time-out, so that a mailer that hangs
// cannot stall a test. It kills nothing but the process group it started.
#ifndef TVX_TESTS_SUPPORT_MAIL_COMMAND_H
#define TVX_TESTS_SUPPORT_MAIL_COMMAND_H

#include <string>

namespace tvx_test {

// The command line for one recipient: the one "%s" replaced by it and each
// "%%" made "%", as printf would. Throws std::invalid_argument unless the
// format holds exactly one "%s" and no other conversion.
std::string mail_command_line(const std::string &format, const std::string &recipient);

struct mail_run {
    int status = -1;         // exit status, 128 + signal; -1 when killed after the time-out
    bool timed_out = false;  // the writing or the waiting ran out of time
    bool wrote_all = false;  // every byte of the message went into the pipe
    int write_errno = 0;     // why a write failed: EPIPE when the mailer closed its input first
};

// Runs the command line for recipient with the message on standard input
// (its standard output and error are the test's). The shell is started in a
// process group of its own, and that group is killed with SIGKILL when the
// message is not written, or the shell has not ended, timeout_ms after the start.
mail_run run_mail_command(const std::string &format, const std::string &recipient, const std::string &message,
                          int timeout_ms = 10000);

}  // namespace tvx_test

#endif
