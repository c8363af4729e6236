// Byte-text helpers shared by the request handling and the score store: bounded copies,
// form-field lookup and decimal conversions. Nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies src into dst, cut to cap - 1 bytes and always NUL-closed; an absent src gives "".
void str_copy(char* dst, size_t cap, const char* src);

// Finds the first field `name` in a form-encoded text (name=value pairs joined by '&') and
// writes its percent-decoded value into out (cap >= 2). The raw value is cut to cap - 1 bytes
// before decoding. Returns 1 when the field is present (even with an empty value), else 0;
// out always holds a NUL-closed text.
int get_query_val(const char* text, const char* name, char* out, size_t cap);

// Reads a signed decimal number the way C's strtol does with base 10: leading white space,
// one optional sign, then digits up to the first other byte. No digits gives 0. The value
// saturates at the limits of a signed 32-bit integer.
int32_t parse_int32(const char* text);

// Writes value in decimal into out (which must hold at least 21 bytes), NUL-closed, and
// returns the number of characters written.
size_t format_int(char* out, long long value);
