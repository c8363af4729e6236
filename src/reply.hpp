// The wire format: every byte the program writes to standard output is put together here,
// the identity texts, every header, the refusal, the error bodies and the scores reply, and
// each reply reaches standard output in a single write.
#pragma once

#include <cstddef>

#include "score_store.hpp"

extern const char PLUGIN_ID[];
extern const char PLUGIN_VERSION[];

// The page route's header. A macro, so that the build joins it to the page as one literal
// (the generated page source includes this file): the page reply then lies in the program as
// one text and leaves in one write without being copied.
#define PAGE_HEADER "Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n\r\n"

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

// The discovery line, for "--meta" and HV_PLUGIN_META.
void write_discovery();
// The version line: identifier and version.
void write_version();
// The refusal of a request without the node's password: status 401 and its JSON body.
void write_refusal();
// The page route's reply: the page header and the whole page.
void write_page();

// Appends the scores reply body for the table to r.
void scores_print_json(reply* r, const score_table* table);

// The replies of the JSON route. The scores reply and the unwritable one report the table.
enum class json_reply { scores, invalid_score, score_store_unwritable, unknown_action };

// Writes the JSON header and the body of `kind`, in one write.
void write_json(json_reply kind, const score_table* table);
