// The score-text conversion and the CONTENT_LENGTH reading, checked against the C
// library's strtoll clamped to 32 bits.
#include "request.hpp"
#include "text.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char text[256];
    size = size > sizeof text - 1 ? sizeof text - 1 : size;
    memcpy(text, data, size);
    text[size] = '\0';

    long long expected = strtoll(text, nullptr, 10);
    if (expected > INT32_MAX)
        expected = INT32_MAX;
    if (expected < INT32_MIN)
        expected = INT32_MIN;
    if (parse_int32(text) != expected)
        abort();

    size_t length = body_length(text);
    size_t expected_length = expected <= 0     ? 0
                             : expected > 2047 ? 2047
                                               : static_cast<size_t>(expected);
    if (text[0] == '\0')
        expected_length = 0;
    if (length != expected_length)
        abort();
    return 0;
}
