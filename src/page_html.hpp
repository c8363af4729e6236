// The game page, generated at build time from page/index.html.
#pragma once

#include <cstddef>

extern const char page_html[];
extern const size_t page_html_len;
