// The game page, generated at build time from page/index.html.
#pragma once

#include <cstddef>

extern const char page_html[];
extern const size_t page_html_len;

// The page route's whole reply: its header directly followed by page_html, which lies
// inside it (the bytes are stored once).
extern const char page_reply[];
extern const size_t page_reply_len;
