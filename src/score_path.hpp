// Where the score file lives on the node.
#pragma once

#include <cstddef>

// Paths live in buffers of this many bytes and hold at most PATH_MAX_LEN - 1 characters;
// longer values are cut without notice.
constexpr size_t PATH_MAX_LEN = 1024;

// Writes first, the platform separator and second into out (PATH_MAX_LEN bytes), cut at
// PATH_MAX_LEN - 1 characters. An empty first gives second alone; a first that fills the
// buffer on its own leaves no room for the separator and is the whole result.
void path_join(char* out, const char* first, const char* second);

// Writes the full path of the score file into out (PATH_MAX_LEN bytes), creating on the way
// the data directories it names. Every branch yields a path; returns true.
bool scores_path(char* out);
