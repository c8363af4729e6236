#include "platform_windows_path.hpp"

#include <windows.h>

#include <cwchar>

// The longest path the wide-character calls take, in wide characters.
constexpr DWORD LONG_PATH_CAP = 32768;

static bool starts_with(const wchar_t* text, const wchar_t* lead) {
    return wcsncmp(text, lead, wcslen(lead)) == 0;
}

// Writes lead and then rest into out, when both fit in cap wide characters with the NUL.
static bool join_wide(wchar_t* out, size_t cap, const wchar_t* lead, const wchar_t* rest) {
    size_t lead_len = wcslen(lead);
    size_t rest_len = wcslen(rest);
    if (lead_len + rest_len >= cap)
        return false;
    wmemcpy(out, lead, lead_len + 1);
    wmemcpy(out + lead_len, rest, rest_len + 1);
    return true;
}

bool to_extended_path(const char* path, wchar_t* out, size_t cap) {
    static wchar_t given[LONG_PATH_CAP];
    static wchar_t full[LONG_PATH_CAP];
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, given, LONG_PATH_CAP) <= 0)
        return false;
    if (starts_with(given, L"\\\\?\\") || starts_with(given, L"\\\\.\\"))
        return join_wide(out, cap, L"", given);
    DWORD n = GetFullPathNameW(given, LONG_PATH_CAP, full, nullptr);
    if (n == 0 || n >= LONG_PATH_CAP)
        return false;
    // "\\server\share\dir" becomes "\\?\UNC\server\share\dir".
    if (starts_with(full, L"\\\\"))
        return join_wide(out, cap, L"\\\\?\\UNC\\", full + 2);
    return join_wide(out, cap, L"\\\\?\\", full);
}
