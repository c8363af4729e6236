// Builds one reply in a fixed buffer so that it reaches standard output in a single write.
#pragma once

#include <cstddef>
#include <cstdint>

// Large enough for the longest JSON reply: the scores reply with ten 10-digit entries is
// under 200 bytes, the header 74.
constexpr size_t REPLY_CAP = 512;

struct reply {
    char data[REPLY_CAP];
    size_t len;
};

void reply_init(reply* r);
// Appends a NUL-closed text; anything beyond the capacity is dropped.
void reply_text(reply* r, const char* text);
// Appends a number in decimal.
void reply_int(reply* r, long long value);
// Writes the gathered bytes to standard output and empties the buffer.
void reply_flush(reply* r);
