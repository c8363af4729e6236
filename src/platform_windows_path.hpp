// How the Windows platform source hands paths to the file and directory calls.
#pragma once

#include <cstddef>

// Writes into out (cap wide characters) the path in the form the file and directory calls get:
// made absolute by GetFullPathNameW (which also resolves "." and ".." and turns "/" into "\")
// and then given in extended-length form, "\\?\C:\..." or "\\?\UNC\server\share\...". That
// form is not limited to MAX_PATH (260 characters, 248 for a new directory) on any Windows,
// whatever the system's long-path setting. A path already in extended or device form
// ("\\?\", "\\.\") is taken as it is. Returns false when the path is not valid UTF-8 or the
// result does not fit.
bool to_extended_path(const char* path, wchar_t* out, size_t cap);
