// Fuzz target for host-list files: an input is the text of a list file,
// read as WhiteUcfFiles lists are (no name resolution, which would make
// the fuzzer wait on the resolver), then its first line is matched as a
// URL against the list, as are a few fixed URLs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/log.h"
#include "policy/host_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    log_set_level_mask(0);
    FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!in)
        return 0;
    host_list list;
    host_list_read(list, in, HOST_LIST_NAMES);
    fclose(in);
    // Addresses as a resolved list holds them, to reach the address test.
    list.push_back(host_entry{HOST_ENTRY_IP_STR, "127.0.0.1"});
    list.push_back(host_entry{HOST_ENTRY_IP_STR, "2001:db8::1"});

    std::string first(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    first = first.substr(0, first.find('\n'));
    is_host_in_list(first.c_str(), list);
    std::string longest(HOST_LIST_INPUT_MAX + 100, '%');
    for (const char *u : {"http://example.com/a%2", "http://[2001:db8::1]:80/", "127.0.0.1", "http://u@[::1", longest.c_str()})
        is_host_in_list(u, list);
    return 0;
}
