// Test helper: a folder that tests/support/mail-capture.sh stores messages
// in, the MailCommand texts that run that script in each of its modes, and
// reading back what it stored. It starts no mailer itself; see mail_command.h.
#ifndef TVX_TESTS_SUPPORT_MAIL_CAPTURE_H
#define TVX_TESTS_SUPPORT_MAIL_CAPTURE_H

#include <string>
#include <sys/types.h>
#include <vector>

namespace tvx_test {

struct captured_mail {
    std::string id;                 // "msg-<nanoseconds>-<pid>": names sort in order of arrival
    std::string data;               // every byte the mailer read on standard input
    std::vector<std::string> args;  // the mailer's arguments after DIR, "%s" expanded
    // The last argument: the recipient, for the "... DIR %s" forms.
    std::string recipient() const { return args.empty() ? "" : args.back(); }
};

// One start of the script, in any mode, from DIR/calls.
struct mail_call {
    std::string mode;  // "store", "fail", "hang" or "no-read"
    pid_t pid = -1;
};

class mail_capture {
public:
    enum class mode {
        store,    // reads standard input to its end, stores it, exits 0
        fail,     // reads standard input to its end, stores nothing, exits 75 (EX_TEMPFAIL)
        hang,     // never reads standard input, sleeps hang_seconds
        no_read,  // reads nothing and exits 0 at once: a writer may get EPIPE
    };

    // Makes dir (mode 0755; its parent must exist). Throws when it cannot.
    explicit mail_capture(const std::string &dir);
    // Kills any mailer of this folder still sleeping in hang mode.
    ~mail_capture();
    mail_capture(const mail_capture &) = delete;
    mail_capture &operator=(const mail_capture &) = delete;

    const std::string &dir() const { return dir_; }
    // The script's path in the source tree.
    static std::string script_path();
    // A MailCommand value: "SCRIPT [--fail|--hang=S|--no-read] DIR %s".
    // Paths are shell-quoted if they need it and any '%' in them doubled.
    std::string command(mode m = mode::store, int hang_seconds = 300) const;

    // The stored messages in order of arrival; a message is listed once
    // whole, never while it is being written.
    std::vector<captured_mail> messages() const;
    size_t count() const;
    // Waits until at least n messages are stored; false after the time-out.
    bool wait_messages(size_t n, int timeout_ms = 10000) const;

    // Every start of the script so far, in order.
    std::vector<mail_call> calls() const;
    bool wait_calls(size_t n, int timeout_ms = 10000) const;

private:
    std::string dir_;
};

}  // namespace tvx_test

#endif
