// The words of the agent protocol as the daemon speaks it, each defined
// once: command codes, the fixed words of each exchange, the answers. Every
// integer is unsigned 32-bit big-endian; a text is its length, then its bytes.
#ifndef AGT_PROTO_H
#define AGT_PROTO_H

#include <cstdint>

// First word of every connection the daemon opens.
constexpr uint32_t AGT_CMD_CONFIG = 0x2003;  // fetch the configuration text
constexpr uint32_t AGT_CMD_STAT = 0x2004;    // one statistics record

// Configuration request: the command, these two words, the client's name as
// a text, its process id.
constexpr uint32_t AGT_CONFIG_WORD_A = 1;
constexpr uint32_t AGT_CONFIG_WORD_B = 51;
constexpr char AGT_CLIENT_NAME[] = "tavex-icapd";

// Configuration answer: a status, AGT_CONFIG_ANSWER_WORD, one free word, a
// block (length and bytes), the configuration (length and bytes); then the
// agent closes.
constexpr uint32_t AGT_STATUS_OK = 2;
constexpr uint32_t AGT_STATUS_FAILED = 3;  // what --fail status3 puts in place of AGT_STATUS_OK
constexpr uint32_t AGT_CONFIG_ANSWER_WORD = 1;
constexpr uint32_t AGT_CONFIG_FREE_WORD = 0;
constexpr uint32_t AGT_LENGTH_HUGE = 0xFFFFFFFFu;  // what the huge-* faults announce

// Statistics record: the command, a kind, the quarantine text, n, n times
// {name text, type}; a kind AGT_STAT_KIND_URL record goes on with
// AGT_STAT_URL_MARK, the URL text, n again and n name texts. The answer is
// one word, non-zero when the record is accepted.
constexpr uint32_t AGT_STAT_KIND_PLAIN = 3;
constexpr uint32_t AGT_STAT_KIND_URL = 4;
constexpr uint32_t AGT_STAT_URL_MARK = 1;
constexpr uint32_t AGT_STAT_ACCEPTED = 1;
constexpr uint32_t AGT_STAT_REJECTED = 0;

#endif
