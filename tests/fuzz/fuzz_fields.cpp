// Field lookup and score-text extraction over arbitrary query texts and bodies: the output
// must stay inside its buffer, NUL-closed, and never longer than the raw value.
#include "request.hpp"
#include "text.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // First byte: capacity; then "name\0text\0body".
    size_t cap = 2 + data[0] % 300;
    char input[4096];
    size = size - 1 > sizeof input - 3 ? sizeof input - 3 : size - 1;
    memcpy(input, data + 1, size);
    input[size] = input[size + 1] = input[size + 2] = '\0';
    const char* name = input;
    const char* text = name + strlen(name) + 1;
    const char* body = text + strlen(text) + 1;
    if (name[0] == '\0')
        name = "val";

    char out[302];
    memset(out, 'X', sizeof out);
    int found = get_query_val(text, name, out, cap);
    size_t len = strnlen(out, cap);
    if (len >= cap || (found != 0 && found != 1) || (!found && len != 0))
        abort();
    for (size_t i = cap; i < sizeof out; i++)
        if (out[i] != 'X')
            abort();

    char score[SCORE_TEXT_CAP + 8];
    memset(score, 'X', sizeof score);
    extract_score_text(text, body, score);
    if (strnlen(score, SCORE_TEXT_CAP) >= SCORE_TEXT_CAP)
        abort();
    for (size_t i = SCORE_TEXT_CAP; i < sizeof score; i++)
        if (score[i] != 'X')
            abort();
    return 0;
}
