// Test helper: a real MTA (Debian's exim4) set up in a test's scratch folder
// to take a message on standard input and deliver it, for any recipient, into
// a maildir there; and reading the delivered messages back. Nothing it does
// touches the system's exim files, its spool or the network.
#ifndef TVX_TESTS_SUPPORT_MTA_FIXTURE_H
#define TVX_TESTS_SUPPORT_MTA_FIXTURE_H

#include <string>
#include <vector>

namespace tvx_test {

// A message as exim delivered it. Exim puts its own lines first
// (Return-path, Envelope-to, Delivery-date, Received) and adds Message-Id,
// From and Date when the message lacks them; it stores lines with LF alone
// (a CRLF, or a bare CR, it was given becomes LF) and keeps other bytes.
struct delivered_mail {
    std::string file;  // path of the message in the maildir
    std::string data;  // the whole file
    std::string head;  // the header lines, each ending in "\n", without the empty line
    std::string body;  // everything after the empty line
    // The first header field of that name (any case), continuation lines
    // joined with a space, surrounding blanks dropped; "" when there is none.
    std::string header(const std::string &name) const;
    bool has_header(const std::string &name) const;
};

class mta_fixture {
public:
    // Sets up SCRATCH/exim (exim.conf, spool/, log/, maildir/) for the exim
    // found at exim_path. SCRATCH must exist; it is given search permission
    // for others (o+x), since exim works as its own user (Debian-exim) while
    // it takes and delivers a message and must reach the folders inside.
    // Never throws: when exim is missing or cannot run here, usable() is
    // false and why_not() says why (for GTEST_SKIP).
    explicit mta_fixture(const std::string &scratch, const std::string &exim_path = "/usr/sbin/exim4");

    bool usable() const { return why_not_.empty(); }
    const std::string &why_not() const { return why_not_; }

    const std::string &config_path() const { return config_; }
    const std::string &maildir() const { return maildir_; }
    // The MailCommand that delivers here:
    // "EXIM -C CONFIG -odi -i -f tavex -- %s". -odi makes exim deliver
    // before it exits, so the message is in the maildir once the command
    // has ended. It works only when run by root (see mta_fixture.cpp).
    std::string command() const;

    // The delivered messages in the order exim delivered them.
    std::vector<delivered_mail> messages() const;
    size_t count() const;
    bool wait_messages(size_t n, int timeout_ms = 10000) const;

    // Exim's logs, for messages when a test fails: a delivery that failed
    // leaves no trace but there (exim still exits 0 under -odi).
    std::string main_log() const;
    std::string panic_log() const;

private:
    std::string exim_;
    std::string base_;  // SCRATCH/exim
    std::string config_;
    std::string maildir_;
    std::string why_not_;
};

}  // namespace tvx_test

#endif
