// Host lists: the text files named by BlackHosts, WhiteHosts, AclList and
// WhiteUcfFiles, read into lists of host texts and resolved addresses once
// per configuration load, and the URL test against them. Resolves names
// only while building; a lookup never touches the network or a file.
#ifndef TVX_POLICY_HOST_LIST_H
#define TVX_POLICY_HOST_LIST_H

#include <cstdio>
#include <list>
#include <stdexcept>
#include <string>
#include <vector>

enum host_entry_type : unsigned {
    HOST_ENTRY_HOST = 0,    // a text searched for inside a URL
    HOST_ENTRY_IP_STR = 1,  // the text form of a resolved address
};

struct host_entry {
    unsigned type = HOST_ENTRY_HOST;
    std::string text;
};

// The entries of one list key, in file order.
using host_list = std::list<host_entry>;

// What each file line adds.
enum host_list_mode : int {
    HOST_LIST_ADDRESSES = 1,  // an ip_str entry per resolved address (AclList)
    HOST_LIST_NAMES = 2,      // the line as a host entry, unresolved (WhiteUcfFiles)
    HOST_LIST_BOTH = 3,       // the host entry, then its addresses (BlackHosts, WhiteHosts)
};

// A list file that cannot be opened; its line has been logged. At start-up
// the daemon ends with status 1, a reload keeps the running configuration.
class host_list_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Longest piece of a file line taken as one line; a longer line is read
// in pieces of this length, each piece a line of its own.
constexpr size_t HOST_LIST_LINE_MAX = 9998;
// Longest URL is_host_in_list decodes; the rest of a longer one is not
// searched.
constexpr size_t HOST_LIST_INPUT_MAX = 9999;

// Appends to list the entries of every file, in order. Throws
// host_list_error when a file cannot be opened.
void host_list_build(host_list &list, const std::vector<std::string> &files, int mode);

// Appends the entries of the lines read from in (the body of
// host_list_build for one open file).
void host_list_read(host_list &list, FILE *in, int mode);

// Logs the list at level 2: "Empty list KEY" or "list KEY:" and a line
// per entry.
void host_list_print(const host_list &list, const char *key);

// True when the URL-decoded input contains the text of a host entry, or
// when its host part is an IP address that an ip_str entry names (the
// address resolved from a listed name, or listed as such). Logs the match
// at level 2.
bool is_host_in_list(const char *input, const host_list &list);

#endif
