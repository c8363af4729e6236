// Path joining with pieces of any length: the result never passes 1023 characters and
// always starts with the first piece as far as it fits.
#include "platform.hpp"
#include "score_path.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // First two bytes: how long the first piece is (it may exceed the buffer).
    size_t split = (static_cast<size_t>(data[0]) << 8 | data[1]) % 3000;
    static char pieces[6002];
    size -= 2;
    data += 2;
    size_t first_len = split < size ? split : size;
    size_t second_len = size - first_len > 3000 ? 3000 : size - first_len;
    char* first = pieces;
    char* second = pieces + 3001;
    memcpy(first, data, first_len);
    first[first_len] = '\0';
    memcpy(second, data + first_len, second_len);
    second[second_len] = '\0';

    char out[PATH_MAX_LEN];
    path_join(out, first, second);
    size_t out_len = strnlen(out, PATH_MAX_LEN);
    if (out_len >= PATH_MAX_LEN)
        abort();
    size_t real_first = strlen(first);
    if (real_first == 0) {
        if (strncmp(out, second, out_len) != 0)
            abort();
        return 0;
    }
    size_t kept = real_first < out_len ? real_first : out_len;
    if (memcmp(out, first, kept) != 0)
        abort();
    if (real_first < PATH_MAX_LEN - 1 && out[real_first] != PATH_SEP)
        abort();
    return 0;
}
