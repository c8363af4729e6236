#include "request.hpp"

#include "access.hpp"
#include "page_html.hpp"
#include "platform.hpp"
#include "reply.hpp"
#include "score_store.hpp"
#include "text.hpp"

#include <cstring>

static const char JSON_HEADER[] = "Content-Type: application/json; charset=utf-8\r\n"
                                  "Cache-Control: no-store\r\n"
                                  "\r\n";

const char* method() {
    const char* m = platform_getenv("REQUEST_METHOD");
    return m != nullptr && m[0] != '\0' ? m : "GET";
}

static bool is_post() {
    return strncmp(method(), "POST", 4) == 0;
}

bool wants_json(const char* query, const char* action) {
    return action[0] != '\0' || strstr(query, "format=json") != nullptr || is_post();
}

size_t body_length(const char* content_length) {
    if (content_length == nullptr || content_length[0] == '\0')
        return 0;
    int32_t n = parse_int32(content_length);
    if (n <= 0)
        return 0;
    return static_cast<size_t>(n) < BODY_CAP - 1 ? static_cast<size_t>(n) : BODY_CAP - 1;
}

// The body from its first minus sign or digit, or nullptr when it has none.
static const char* first_number(const char* body) {
    for (const char* p = body; *p != '\0'; p++)
        if (*p == '-' || (*p >= '0' && *p <= '9'))
            return p;
    return nullptr;
}

void extract_score_text(const char* query, const char* body, char* out) {
    out[0] = '\0';
    bool has_body = body[0] != '\0';
    if (!get_query_val(query, "val", out, SCORE_TEXT_CAP) && has_body) {
        if (!get_query_val(body, "val", out, SCORE_TEXT_CAP))
            get_query_val(body, "score", out, SCORE_TEXT_CAP);
    }
    if (out[0] == '\0')
        get_query_val(query, "score", out, SCORE_TEXT_CAP);
    if (out[0] == '\0' && has_body)
        str_copy(out, SCORE_TEXT_CAP, first_number(body));
}

static void write_discovery() {
    static const char line[] = "{\"name\":\"pentra\",\"desc\":\"3D block game\"}\n";
    platform_write_stdout(line, sizeof line - 1);
}

static void write_version() {
    reply r;
    reply_init(&r);
    reply_text(&r, PLUGIN_ID);
    reply_text(&r, " ");
    reply_text(&r, PLUGIN_VERSION);
    reply_text(&r, "\n");
    reply_flush(&r);
}

// Answers discovery or the version when the command line or HV_PLUGIN_META asks for it.
// HV_PLUGIN_META counts when merely present and outranks "--version"; "--meta" counts only
// as the first argument.
bool answer_discovery(int argc, char** argv) {
    const char* first = argc > 1 ? argv[1] : nullptr;
    if ((first != nullptr && strcmp(first, "--meta") == 0) ||
        platform_getenv("HV_PLUGIN_META") != nullptr) {
        write_discovery();
        return true;
    }
    if (first != nullptr && strcmp(first, "--version") == 0) {
        write_version();
        return true;
    }
    return false;
}

// The header and the page are one text from the build (see CMakeLists.txt), so the reply
// leaves in a single write.
void serve_page() {
    platform_write_stdout(page_reply, page_reply_len);
}

static bool is_scores_action(const char* action) {
    return strcmp(action, "scores") == 0 || strcmp(action, "highscore") == 0 ||
           strcmp(action, "leaderboard") == 0;
}

// Reads the request body and picks the score text from it and the query. The body lives
// only in this frame, kept out of serve_json, so that the store's calls below do not sit
// two more kilobytes deeper in the stack: every page of stack first touched is a fault.
[[gnu::noinline]] static void read_score_text(const char* query, char* score_text) {
    char body[BODY_CAP];
    size_t got = platform_read_stdin(body, body_length(platform_getenv("CONTENT_LENGTH")));
    body[got] = '\0';
    extract_score_text(query, body, score_text);
}

void serve_json(const char* query, char* action) {
    if (action[0] == '\0')
        str_copy(action, ACTION_CAP, is_post() ? "save_score" : "scores");

    char score_text[SCORE_TEXT_CAP];
    read_score_text(query, score_text);

    bool saving = strcmp(action, "save_score") == 0;
    // A save holds the store's lock from its load to its rewrite, so that concurrent saves
    // cannot lose each other's scores.
    score_lock lock = {};
    if (saving)
        score_store_lock(&lock);
    score_table table;
    score_table_load(&table);
    // The header and the body are gathered in one buffer and leave in a single write.
    reply r;
    reply_init(&r);
    reply_text(&r, JSON_HEADER);
    if (saving)
        save_score(&r, &table, score_text, &lock);
    else if (is_scores_action(action))
        scores_print_json(&r, &table);
    else
        reply_text(&r, "{\"ok\":false,\"error\":\"unknown_action\"}\n");
    reply_flush(&r);
    score_store_unlock(&lock);
}
