// One run of the plugin: discovery, the access check, routing, and the two routes.
#pragma once

#include <cstddef>

// The action and the score text hold at most 63 characters.
constexpr size_t ACTION_CAP = 64;
constexpr size_t SCORE_TEXT_CAP = 64;
// The request body holds at most 2047 bytes; input beyond them is left unread.
constexpr size_t BODY_CAP = 2048;

// The request method: REQUEST_METHOD, or "GET" when it is unset or empty.
const char* method();

// Whether the request goes to the JSON interface rather than the page.
bool wants_json(const char* query, const char* action);

// The number of body bytes to read for a CONTENT_LENGTH value (which may be absent):
// 0 for none, at most BODY_CAP - 1.
size_t body_length(const char* content_length);

// Picks the score text from the query and the body (both NUL-closed, the body possibly
// empty): query "val", body "val", body "score", query "score", then the body from its first
// digit or minus sign.
void extract_score_text(const char* query, const char* body, char* out);

// Answers discovery or the version line when the command line or HV_PLUGIN_META asks for
// it, and returns whether it did.
bool answer_discovery(int argc, char** argv);

// The page route: the page header and the whole page, nothing read from the request.
void serve_page();

// The JSON route: reads the body, loads the table and writes one JSON reply for the action
// (defaulted here when empty; the buffer holds ACTION_CAP bytes).
void serve_json(const char* query, char* action);
