#include "reply.hpp"

#include "platform.hpp"
#include "text.hpp"

void reply_init(reply* r) {
    r->len = 0;
}

void reply_text(reply* r, const char* text) {
    while (*text != '\0' && r->len < REPLY_CAP)
        r->data[r->len++] = *text++;
}

void reply_int(reply* r, long long value) {
    char digits[24];
    format_int(digits, value);
    reply_text(r, digits);
}

void reply_flush(reply* r) {
    platform_write_stdout(r->data, r->len);
    r->len = 0;
}
