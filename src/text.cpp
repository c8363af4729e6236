#include "text.hpp"

#include <cstring>

void str_copy(char* dst, size_t cap, const char* src) {
    size_t n = 0;
    if (src != nullptr) {
        while (n + 1 < cap && src[n] != '\0') {
            dst[n] = src[n];
            n++;
        }
    }
    dst[n] = '\0';
}

// Returns the value 0-15 of a hexadecimal digit, or -1 for any other byte.
static int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes percent escapes and plus signs in place. The write position never passes the read
// position, and a byte produced by decoding is never examined again.
static void form_decode(char* s) {
    char* out = s;
    for (const char* in = s; *in != '\0';) {
        if (*in == '%') {
            int hi = hex_value(in[1]);
            int lo = hi < 0 ? -1 : hex_value(in[2]);
            if (lo >= 0) {
                *out++ = static_cast<char>(hi * 16 + lo);
                in += 3;
                continue;
            }
            *out++ = '%';
            in++;
        } else if (*in == '+') {
            *out++ = ' ';
            in++;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

// Returns the start of the value of field `name` in text, or nullptr when it is absent.
// Names count only at the start of a segment and only when '=' follows them directly.
static const char* find_field(const char* text, const char* name) {
    size_t name_len = strlen(name);
    const char* seg = text;
    for (;;) {
        if (strncmp(seg, name, name_len) == 0 && seg[name_len] == '=')
            return seg + name_len + 1;
        const char* amp = strchr(seg, '&');
        if (amp == nullptr || amp[1] == '\0')
            return nullptr;
        seg = amp + 1;
    }
}

int get_query_val(const char* text, const char* name, char* out, size_t cap) {
    out[0] = '\0';
    if (text == nullptr || text[0] == '\0')
        return 0;
    const char* value = find_field(text, name);
    if (value == nullptr)
        return 0;
    size_t n = 0;
    while (n + 1 < cap && value[n] != '\0' && value[n] != '&') {
        out[n] = value[n];
        n++;
    }
    out[n] = '\0';
    form_decode(out);
    return 1;
}

static bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int32_t parse_int32(const char* text) {
    const char* p = text;
    while (is_space(*p))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    // Accumulate the magnitude with a cap just past the 32-bit range, so long digit runs
    // cannot overflow and the clamp below sees every out-of-range value.
    const long long cap = 2147483648LL;
    long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > cap)
            magnitude = cap;
    }
    long long value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX)
        return INT32_MAX;
    return static_cast<int32_t>(value);
}

size_t format_int(char* out, long long value) {
    char digits[24];
    size_t n = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t len = 0;
    if (value < 0)
        out[len++] = '-';
    while (n > 0)
        out[len++] = digits[--n];
    out[len] = '\0';
    return len;
}
