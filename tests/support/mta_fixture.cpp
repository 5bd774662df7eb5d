// Sets up exim4 with a configuration of its own in a test's scratch folder
// and reads back the maildir it delivers to. It writes nothing outside that
// folder, starts no daemon or queue runner, and gives exim no way to send.
//
// How exim runs here. The binary is setuid root; root may point it at any
// configuration with -C and keeps its privileges doing so. Exim still takes
// the message as its own user (Debian-exim, found with -be '$exim_uid'), so
// the spool and log folders belong to that user and every folder above them
// lets it pass. After taking a message under -odi, exim would normally run
// itself again to regain root for the delivery, and with -C that second run
// loses root and says so on standard error and in the panic log;
// deliver_drop_privilege makes it deliver in the same process as the exim
// user instead, so the maildir belongs to that user too and the transport
// runs as that user (root never can: it is on exim's fixed never_users).
// A caller other than root gets no privileges with -C at all: then the
// fixture is not usable.
#include "support/mta_fixture.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "support/support.h"

namespace tvx_test {

namespace {

bool plain_path(const std::string &path)
{
    for (char c : path) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  std::string("/._+-").find(c) != std::string::npos;
        if (!ok)
            return false;
    }
    return !path.empty();
}

// Every recipient, whatever its domain, goes to one maildir; there is no
// router that looks up a host and no smtp transport. There are no retry
// rules either: a delivery that fails for the moment fails for good at
// once, so nothing waits in the spool for a queue runner that never comes.
std::string config_text(const std::string &base)
{
    std::ostringstream c;
    c << "# Written by the tests' mta_fixture: local delivery into one maildir.\n"
      << "# A fixed host name: exim looks up no name of its own in DNS.\n"
      << "primary_hostname = tavex-test.invalid\n"
      << "spool_directory = " << base << "/spool\n"
      << "log_file_path = " << base << "/log/%slog\n"
      << "# Without it exim warns, on every run, that it clears the environment.\n"
      << "keep_environment =\n"
      << "# Deliver as the exim user in the process that took the message (see\n"
      << "# mta_fixture.cpp): no second run of exim that loses root over -C.\n"
      << "deliver_drop_privilege = true\n"
      << "\n"
      << "begin routers\n"
      << "everyone:\n"
      << "  driver = accept\n"
      << "  transport = to_maildir\n"
      << "\n"
      << "begin transports\n"
      << "to_maildir:\n"
      << "  driver = appendfile\n"
      << "  directory = " << base << "/maildir\n"
      << "  maildir_format\n"
      << "  create_directory\n"
      << "  user = $exim_uid\n"
      << "  group = $exim_gid\n"
      << "  return_path_add\n"
      << "  envelope_to_add\n"
      << "  delivery_date_add\n"
      << "\n"
      << "begin retry\n";
    return c.str();
}

// Exim names maildir files "SECONDS.MMICROSECONDS.PPID.HOST"; the numbers are
// not padded, so the names are ordered by their numbers, not as text.
std::pair<unsigned long long, unsigned long long> delivery_time(const std::string &name)
{
    char *end = nullptr;
    unsigned long long s = strtoull(name.c_str(), &end, 10);
    unsigned long long us = 0;
    if (end && end[0] == '.' && end[1] == 'M')
        us = strtoull(end + 2, nullptr, 10);
    return {s, us};
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return s;
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

}  // namespace

std::string delivered_mail::header(const std::string &name) const
{
    std::string want = lower(name) + ":";
    std::istringstream in(head);
    std::string line, value;
    bool found = false;
    while (std::getline(in, line)) {
        if (found) {
            if (line.empty() || (line[0] != ' ' && line[0] != '\t'))
                break;
            value += " " + trim(line);
        } else if (lower(line.substr(0, want.size())) == want) {
            found = true;
            value = trim(line.substr(want.size()));
        }
    }
    return value;
}

bool delivered_mail::has_header(const std::string &name) const
{
    std::string want = lower(name) + ":";
    std::istringstream in(head);
    std::string line;
    while (std::getline(in, line))
        if (lower(line.substr(0, want.size())) == want)
            return true;
    return false;
}

mta_fixture::mta_fixture(const std::string &scratch, const std::string &exim_path)
    : exim_(exim_path), base_(scratch + "/exim"), config_(base_ + "/exim.conf"), maildir_(base_ + "/maildir")
{
    if (access(exim_.c_str(), X_OK) != 0) {
        why_not_ = exim_ + " is not installed (scripts/deps.sh installs exim4-daemon-light)";
        return;
    }
    if (geteuid() != 0) {
        why_not_ = "exim keeps its privileges with an alternate configuration (-C) only for root; running as uid " +
                   std::to_string(geteuid());
        return;
    }
    if (!plain_path(base_)) {
        why_not_ = "the scratch path " + scratch +
                   " holds characters that exim would expand or quote in its configuration";
        return;
    }
    struct stat st;
    if (stat(scratch.c_str(), &st) != 0 || chmod(scratch.c_str(), (st.st_mode & 07777) | S_IXOTH) != 0 ||
        (mkdir(base_.c_str(), 0711) != 0 && errno != EEXIST)) {
        why_not_ = "cannot set up " + base_;
        return;
    }
    // Owned by root and writable by nobody else, as exim demands of the file.
    write_file(config_, config_text(base_), 0644);

    // Reading the configuration back checks it too.
    run_result ids = run_program({exim_, "-C", config_, "-be", "$exim_uid $exim_gid"}, "", 30);
    std::istringstream in(ids.out);
    long uid = -1, gid = -1;
    if (ids.status != 0 || !(in >> uid >> gid) || uid <= 0 || gid < 0) {
        why_not_ = "exim does not take the configuration " + config_ + " (status " + std::to_string(ids.status) +
                   "): " + ids.out + ids.err;
        return;
    }
    for (const char *sub : {"/spool", "/log", "/maildir"}) {
        std::string dir = base_ + sub;
        if ((mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) ||
            chown(dir.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
            why_not_ = "cannot make " + dir + " for the exim user";
            return;
        }
    }
}

std::string mta_fixture::command() const { return exim_ + " -C " + config_ + " -odi -i -f tavex -- %s"; }

std::vector<delivered_mail> mta_fixture::messages() const
{
    std::vector<std::string> names = list_dir(maildir_ + "/new");
    std::stable_sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return delivery_time(a) < delivery_time(b);
    });
    std::vector<delivered_mail> out;
    for (const std::string &name : names) {
        delivered_mail m;
        m.file = maildir_ + "/new/" + name;
        m.data = read_file(m.file);
        size_t split = m.data.find("\n\n");
        if (split == std::string::npos) {
            m.head = m.data;
        } else {
            m.head = m.data.substr(0, split + 1);
            m.body = m.data.substr(split + 2);
        }
        out.push_back(std::move(m));
    }
    return out;
}

size_t mta_fixture::count() const { return list_dir(maildir_ + "/new").size(); }

bool mta_fixture::wait_messages(size_t n, int timeout_ms) const
{
    return eventually([&] { return count() >= n; }, timeout_ms);
}

std::string mta_fixture::main_log() const { return read_file(base_ + "/log/mainlog"); }

std::string mta_fixture::panic_log() const { return read_file(base_ + "/log/paniclog"); }

}  // namespace tvx_test
