#include "reply.hpp"

#include "page_html.hpp"
#include "platform.hpp"
#include "text.hpp"
#include "version.hpp"

const char PLUGIN_ID[] = "plugin_pentra_3d";
const char PLUGIN_VERSION[] = PENTRA_VERSION;

static const char JSON_HEADER[] = "Content-Type: application/json; charset=utf-8\r\n"
                                  "Cache-Control: no-store\r\n"
                                  "\r\n";

static const char REFUSAL[] = "Status: 401 Unauthorized\r\n"
                              "Content-Type: application/json; charset=utf-8\r\n"
                              "Cache-Control: no-store\r\n"
                              "\r\n"
                              "{\"ok\":false,\"error\":\"invalid node password\"}\n";

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

void write_discovery() {
    static const char line[] = "{\"name\":\"pentra\",\"desc\":\"3D block game\"}\n";
    platform_write_stdout(line, sizeof line - 1);
}

void write_version() {
    reply r;
    reply_init(&r);
    reply_text(&r, PLUGIN_ID);
    reply_text(&r, " ");
    reply_text(&r, PLUGIN_VERSION);
    reply_text(&r, "\n");
    reply_flush(&r);
}

void write_refusal() {
    platform_write_stdout(REFUSAL, sizeof REFUSAL - 1);
}

// The header and the page are one text from the build (see the generated page source).
void write_page() {
    platform_write_stdout(page_reply, page_reply_len);
}

void scores_print_json(reply* r, const score_table* table) {
    reply_text(r, "{\"ok\":true,\"plugin\":\"");
    reply_text(r, PLUGIN_ID);
    reply_text(r, "\",\"version\":\"");
    reply_text(r, PLUGIN_VERSION);
    reply_text(r, "\",\"highscore\":");
    reply_int(r, table->count > 0 ? table->scores[0] : 0);
    reply_text(r, ",\"scores\":[");
    for (int i = 0; i < table->count; i++) {
        if (i > 0)
            reply_text(r, ",");
        reply_int(r, table->scores[i]);
    }
    reply_text(r, "]}\n");
}

void write_json(json_reply kind, const score_table* table) {
    // The header and the body are gathered in one buffer and leave in a single write.
    reply r;
    reply_init(&r);
    reply_text(&r, JSON_HEADER);
    switch (kind) {
    case json_reply::scores:
        scores_print_json(&r, table);
        break;
    case json_reply::invalid_score:
        reply_text(&r, "{\"ok\":false,\"error\":\"invalid_score\"}\n");
        break;
    case json_reply::score_store_unwritable:
        reply_text(&r, "{\"ok\":false,\"error\":\"score_store_unwritable\",\"highscore\":");
        reply_int(&r, table->scores[0]);
        reply_text(&r, "}\n");
        break;
    case json_reply::unknown_action:
        reply_text(&r, "{\"ok\":false,\"error\":\"unknown_action\"}\n");
        break;
    }
    reply_flush(&r);
}
