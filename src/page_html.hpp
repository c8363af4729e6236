// The game page, generated at build time from page/index.html.
#pragma once

#include <cstddef>

// The page route's whole reply: PAGE_HEADER (reply.hpp) directly followed by the page.
extern const char page_reply[];
extern const size_t page_reply_len;

// The page document inside page_reply (the bytes are stored once).
extern const char* const page_html;
extern const size_t page_html_len;
