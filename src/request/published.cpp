// Two-slot publication of texts for the signal handlers: a new text is
// written into the slot the handlers do not read, then the index is
// switched in one store. Texts that do not fit are published as none.
#include "request/published.h"

#include <atomic>
#include <csignal>
#include <cstring>

namespace {

template <size_t N>
struct published_text {
    char slots[2][N];
    volatile sig_atomic_t current = -1;  // -1: nothing published

    void publish(const std::string &text)
    {
        if (text.empty() || text.size() >= N) {
            current = -1;
            return;
        }
        int slot = current == 0 ? 1 : 0;
        memcpy(slots[slot], text.c_str(), text.size() + 1);
        // The text is complete before a handler can find the index pointing at it.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        current = slot;
    }
    const char *read() const
    {
        int slot = current;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        return slot < 0 ? nullptr : slots[slot];
    }
};

// Paths of files the kernel created are shorter than PATH_MAX (4096).
published_text<4096> g_temp_file;
published_text<ICAP_URL_MAX> g_url;

}  // namespace

void icap_request_set_temp_file(icap_request &rq, const std::string &path)
{
    rq.current_temp_file = path;
    if (&rq == &g_request)
        g_temp_file.publish(path);
}

void icap_request_set_url_string(icap_request &rq, const std::string &url)
{
    rq.url_string = url;
    if (&rq == &g_request)
        g_url.publish(url);
}

const char *request_published_temp_file() { return g_temp_file.read(); }

const char *request_published_url() { return g_url.read(); }
