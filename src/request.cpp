#include "request.hpp"

#include "env.hpp"
#include "platform.hpp"
#include "reply.hpp"
#include "score_store.hpp"
#include "text.hpp"

#include <cstring>

const char* method() {
    const char* m = env_value("REQUEST_METHOD");
    return m != nullptr ? m : "GET";
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

void serve_page() {
    write_page();
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

// The reply that tells what a save did.
static json_reply reply_for(save_outcome outcome) {
    switch (outcome) {
    case save_outcome::saved:
        return json_reply::scores;
    case save_outcome::invalid_score:
        return json_reply::invalid_score;
    case save_outcome::unwritable:
        break;
    }
    return json_reply::score_store_unwritable;
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
    json_reply kind = json_reply::unknown_action;
    if (saving)
        kind = reply_for(save_score(&table, score_text, &lock));
    else if (is_scores_action(action))
        kind = json_reply::scores;
    write_json(kind, &table);
    score_store_unlock(&lock);
}
