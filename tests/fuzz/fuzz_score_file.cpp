// The score-file scan over arbitrary file contents: a table of at most ten positive
// entries with zeros behind them, and one that survives its own written form unchanged.
#include "score_store.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char text[SCORE_FILE_READ_MAX + 1];
    size = size > SCORE_FILE_READ_MAX ? SCORE_FILE_READ_MAX : size;
    memcpy(text, data, size);
    text[size] = '\0';

    score_table table;
    score_table_parse(&table, text);
    if (table.count < 0 || table.count > MAX_SCORES)
        abort();
    for (int i = 0; i < MAX_SCORES; i++)
        if ((i < table.count) != (table.scores[i] > 0))
            abort();

    char written[128];
    size_t len = score_table_format(&table, written);
    if (len > 123 || written[len] != '\0')
        abort();
    score_table again;
    score_table_parse(&again, written);
    if (memcmp(&again, &table, sizeof table) != 0)
        abort();

    if (table.count > 0) {
        score_table_insert(&table, 1 + static_cast<int32_t>(size));
        if (table.count > MAX_SCORES)
            abort();
    }
    return 0;
}
