// The node's ten best scores: the table, its file and its lock, and the save action. What
// the replies say about them is written by the reply module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.hpp"

constexpr int MAX_SCORES = 10;

// Valid entries are 1 to 2147483647, highest first when built by insertion; entries at
// index count and beyond are 0.
struct score_table {
    int32_t scores[MAX_SCORES];
    int32_t count;
};

// The load sees at most this many bytes of the score file.
constexpr size_t SCORE_FILE_READ_MAX = 2047;

// Empties the table, then fills it from the score file. A missing, unreadable or malformed
// file gives an empty or partial table and no report.
void score_table_load(score_table* table);

// Fills the table from score-file text: up to ten positive numbers from the list that
// follows the "scores" key (or the first '[' at all), in the order found.
void score_table_parse(score_table* table, const char* text);

// Inserts a score of at least 1 after every entry that is greater or equal to it; a full
// table keeps its ten best.
void score_table_insert(score_table* table, int32_t score);

// Writes the file form of the table, {"scores":[a,b,...]} and a line feed, into out (at
// least 128 bytes). Returns its length.
size_t score_table_format(const score_table* table, char* out);

// Replaces the score file with the table's file form, atomically: readers see the old file
// or the new one, never a part. Returns false when the file could not be written, which
// leaves the previous file as it was.
bool score_table_save(const score_table* table);

// Serialises saves: held from the load of a "save_score" request to its rewrite.
struct score_lock {
    file_lock lock;
    bool held;
};

// Takes the score file's lock, waiting a few seconds at most. Returns whether it is held.
bool score_store_lock(score_lock* lock);
void score_store_unlock(score_lock* lock);

// What a save did: stored the table, refused a score text below 1 (nothing changed), or
// could not write the file (the table holds the new score all the same).
enum class save_outcome { saved, invalid_score, unwritable };

// The "save_score" action: converts the score text, inserts it into the table and rewrites
// the file. Without the lock held, nothing is written and the save counts as unwritable.
save_outcome save_score(score_table* table, const char* score_text, const score_lock* lock);
