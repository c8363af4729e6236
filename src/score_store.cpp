#include "score_store.hpp"

#include "score_path.hpp"
#include "text.hpp"

#include <cstring>

// Room for a resolved score-file path plus a ".lock" or ".tmp" suffix. Links may point
// anywhere, so this is wider than the configured paths.
constexpr size_t TARGET_CAP = 4096;

// Longest wait for another save to finish before answering that the store is unwritable,
// so a stuck peer can never hang the host.
constexpr uint64_t LOCK_WAIT_MS = 5000;

static bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

void score_table_parse(score_table* table, const char* text) {
    memset(table, 0, sizeof *table);
    const char* key = strstr(text, "\"scores\"");
    const char* p = strchr(key != nullptr ? key : text, '[');
    if (p == nullptr)
        return;
    p++;
    while (*p != '\0' && table->count < MAX_SCORES) {
        if (!is_digit(*p)) {
            if (*p == ']')
                return;
            p++;
            continue;
        }
        long long value = 0;
        for (const char* d = p; is_digit(*d); d++) {
            value = value * 10 + (*d - '0');
            if (value > INT32_MAX)
                value = INT32_MAX;
        }
        if (value > 0)
            table->scores[table->count++] = static_cast<int32_t>(value);
        // Skip to the next entry: fractions, exponents and numbers not led by a comma are
        // passed over.
        while (*p != '\0' && *p != ',' && *p != ']')
            p++;
        if (*p != ',')
            return;
        p++;
    }
}

// Fills the table from the file at path. The text buffer lives in this frame only, so that
// it is not on the stack while the path is worked out: fewer stack pages to touch.
[[gnu::noinline]] static void load_from(score_table* table, const char* path) {
    char text[SCORE_FILE_READ_MAX + 1];
    long n = platform_read_file(path, text, SCORE_FILE_READ_MAX);
    if (n < 0)
        return;
    text[n] = '\0';
    score_table_parse(table, text);
}

void score_table_load(score_table* table) {
    memset(table, 0, sizeof *table);
    char path[PATH_MAX_LEN];
    scores_path(path);
    load_from(table, path);
}

void score_table_insert(score_table* table, int32_t score) {
    int pos;
    if (table->count == MAX_SCORES) {
        if (score <= table->scores[MAX_SCORES - 1])
            return;
        pos = MAX_SCORES - 1;
    } else {
        pos = table->count++;
    }
    while (pos > 0 && table->scores[pos - 1] < score) {
        table->scores[pos] = table->scores[pos - 1];
        pos--;
    }
    table->scores[pos] = score;
}

size_t score_table_format(const score_table* table, char* out) {
    // The head goes in with its NUL, so out is a terminated string from the start; the
    // scores and the tail overwrite that NUL.
    static const char head[] = "{\"scores\":[";
    memcpy(out, head, sizeof head);
    size_t len = sizeof head - 1;
    for (int i = 0; i < table->count; i++) {
        if (i > 0)
            out[len++] = ',';
        len += format_int(out + len, table->scores[i]);
    }
    memcpy(out + len, "]}\n", 4);
    return len + 3;
}

// Writes into out the file that a save replaces: the score path with its links followed,
// so that a link stays a link. Returns false when that path is too long to handle.
static bool score_target(char* out) {
    char path[PATH_MAX_LEN];
    scores_path(path);
    // Leave room for the longest suffix added beside the target.
    return platform_resolve_links(path, out, TARGET_CAP - 8);
}

bool score_table_save(const score_table* table) {
    char target[TARGET_CAP];
    if (!score_target(target))
        return false;
    // A directory or a device at the score path is never replaced.
    if (platform_path_kind(target) == path_kind::other)
        return false;
    // score_target leaves room beyond the path for the suffix and its NUL.
    size_t target_len = strlen(target);
    char tmp[TARGET_CAP];
    memcpy(tmp, target, target_len + 1);
    memcpy(tmp + target_len, ".tmp", sizeof ".tmp");
    char text[128];
    size_t len = score_table_format(table, text);
    return platform_replace_file(target, tmp, text, len);
}

bool score_store_lock(score_lock* lock) {
    lock->held = false;
    lock->lock.handle = -1;
    char path[TARGET_CAP];
    if (!score_target(path))
        return false;
    // score_target leaves room beyond the path for the suffix and its NUL.
    memcpy(path + strlen(path), ".lock", sizeof ".lock");
    // The wait is timed from the first busy answer. An uncontended save never reads the
    // clock, which would map the clock's pages (two page faults) for nothing.
    uint64_t deadline = 0;
    unsigned pause_ms = 1;
    for (;;) {
        lock_result r = platform_try_lock(path, &lock->lock);
        if (r == lock_result::taken) {
            lock->held = true;
            return true;
        }
        if (r == lock_result::failed)
            return false;
        uint64_t now = platform_now_ms();
        if (deadline == 0)
            deadline = now + LOCK_WAIT_MS;
        else if (now >= deadline)
            return false;
        platform_sleep_ms(pause_ms);
        if (pause_ms < 16)
            pause_ms *= 2;
    }
}

void score_store_unlock(score_lock* lock) {
    if (lock->held)
        platform_unlock(&lock->lock);
    lock->held = false;
}

save_outcome save_score(score_table* table, const char* score_text, const score_lock* lock) {
    int32_t value = parse_int32(score_text);
    if (value < 1)
        return save_outcome::invalid_score;
    score_table_insert(table, value);
    if (lock->held && score_table_save(table))
        return save_outcome::saved;
    return save_outcome::unwritable;
}
