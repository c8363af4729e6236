// Windows implementation of the platform services. The program works in UTF-8; names and
// values cross into the wide-character APIs here, so that profiles and data folders whose
// names hold non-ASCII characters work.
#include "platform.hpp"
#include "platform_windows_path.hpp"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>

const char PATH_SEP = '\\';

void platform_init_stdio() {
    // Text mode would turn every LF of a reply into CR LF and stop a body at 0x1A.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

// Wide-character capacity for one converted name, value or path: the longest environment
// value Windows allows, and the longest extended-length path.
constexpr int WIDE_CAP = 32768;

// Environment values converted to UTF-8 live here for the whole run. A value of 32767
// UTF-16 units takes at most three bytes per unit; the program reads about a dozen
// variables, so the arena holds every one of them even at their longest.
static char env_arena[12 * 3 * WIDE_CAP];
static size_t env_used;

struct env_entry {
    const char* name;
    const char* value; // nullptr: absent
};
static env_entry env_cache[16];
static int env_count;

static const char* read_env(const char* name) {
    static wchar_t wname[256];
    static wchar_t wvalue[WIDE_CAP];
    if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wname, 256) <= 0)
        return nullptr;
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableW(wname, wvalue, WIDE_CAP);
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return nullptr;
    if (n >= WIDE_CAP)
        return nullptr;
    wvalue[n] = L'\0';
    size_t room = sizeof env_arena - env_used;
    if (room == 0)
        return nullptr;
    char* out = env_arena + env_used;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wvalue, static_cast<int>(n) + 1, out,
                                    static_cast<int>(room), nullptr, nullptr);
    if (bytes <= 0)
        return nullptr;
    env_used += static_cast<size_t>(bytes);
    return out;
}

const char* platform_getenv(const char* name) {
    // The environment does not change during a run, so each variable is converted once.
    for (int i = 0; i < env_count; i++)
        if (strcmp(env_cache[i].name, name) == 0)
            return env_cache[i].value;
    const char* value = read_env(name);
    if (env_count < 16)
        env_cache[env_count++] = {name, value};
    return value;
}

size_t platform_read_stdin(char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        int r = _read(0, buf + got, static_cast<unsigned>(n - got));
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    return got;
}

void platform_write_stdout(const char* buf, size_t n) {
    while (n > 0) {
        int w = _write(1, buf, static_cast<unsigned>(n));
        if (w <= 0)
            return;
        buf += w;
        n -= static_cast<size_t>(w);
    }
}

static wchar_t wpath_a[WIDE_CAP];
static wchar_t wpath_b[WIDE_CAP];

// Every path reaches the file calls in extended-length form (platform_windows_path.hpp).
static bool to_wide_path(const char* path, wchar_t* out) {
    return to_extended_path(path, out, WIDE_CAP);
}

void platform_make_dir(const char* path) {
    if (to_wide_path(path, wpath_a))
        CreateDirectoryW(wpath_a, nullptr);
}

// All three share modes, so that a reader never makes a concurrent replace fail.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

long platform_read_file(const char* path, char* buf, size_t n) {
    if (!to_wide_path(path, wpath_a))
        return -1;
    HANDLE h = CreateFileW(wpath_a, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return -1;
    }
    size_t got = 0;
    while (got < n) {
        DWORD r = 0;
        if (!ReadFile(h, buf + got, static_cast<DWORD>(n - got), &r, nullptr) || r == 0)
            break;
        got += r;
    }
    CloseHandle(h);
    return static_cast<long>(got);
}

path_kind platform_path_kind(const char* path) {
    if (!to_wide_path(path, wpath_a))
        return path_kind::other;
    DWORD attrs = GetFileAttributesW(wpath_a);
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? path_kind::missing
                                                                          : path_kind::other;
    }
    if (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
        return path_kind::other;
    return path_kind::regular;
}

bool platform_resolve_links(const char* path, char* out, size_t cap) {
    size_t path_len = strlen(path);
    if (path_len >= cap)
        return false;
    memcpy(out, path, path_len + 1);
    if (!to_wide_path(path, wpath_a))
        return true;
    // Opening the path follows its links; the handle then names the final file. This is
    // asked of every existing file, since links made outside Windows (wine's view of a
    // Unix symbolic link, for one) need not carry the reparse-point attribute.
    HANDLE h = CreateFileW(wpath_a, 0, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return true;
    DWORD n = GetFinalPathNameByHandleW(h, wpath_b, WIDE_CAP, FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0 || n >= WIDE_CAP)
        return true;
    int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wpath_b, -1, out, static_cast<int>(cap), nullptr, nullptr);
    if (bytes <= 0) {
        memcpy(out, path, path_len + 1);
        return false;
    }
    return true;
}

bool platform_replace_file(const char* path, const char* tmp_path, const char* data, size_t n) {
    if (!to_wide_path(path, wpath_a) || !to_wide_path(tmp_path, wpath_b))
        return false;
    // Whatever lies at the temporary path is left over from an interrupted save (the caller
    // holds the store's lock); a link left there would otherwise redirect the write.
    DeleteFileW(wpath_b);
    HANDLE h = CreateFileW(wpath_b, GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(h, data, static_cast<DWORD>(n), &written, nullptr) && written == n;
    // A same-volume rename is not flushed by MOVEFILE_WRITE_THROUGH alone.
    ok = ok && FlushFileBuffers(h);
    ok = CloseHandle(h) && ok;
    if (ok) {
        // Scanners and indexers hold files open for a moment; retry such refusals briefly.
        for (int attempt = 0; attempt < 10; attempt++) {
            if (MoveFileExW(wpath_b, wpath_a, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                return true;
            DWORD err = GetLastError();
            if (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION)
                break;
            Sleep(20);
        }
    }
    DeleteFileW(wpath_b);
    return false;
}

lock_result platform_try_lock(const char* path, file_lock* lock) {
    if (!to_wide_path(path, wpath_a))
        return lock_result::failed;
    HANDLE h = CreateFileW(wpath_a, GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return lock_result::failed;
    OVERLAPPED at = {};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        DWORD err = GetLastError();
        CloseHandle(h);
        return err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING ? lock_result::busy
                                                                      : lock_result::failed;
    }
    lock->handle = reinterpret_cast<intptr_t>(h);
    return lock_result::taken;
}

void platform_unlock(file_lock* lock) {
    if (lock->handle == -1)
        return;
    // The portable lock keeps the HANDLE as an integer; this gives back the same handle.
    HANDLE h = reinterpret_cast<HANDLE>(lock->handle); // NOLINT(performance-no-int-to-ptr)
    // Windows may release the locks of a closed handle late, so unlock explicitly first.
    OVERLAPPED at = {};
    UnlockFileEx(h, 0, 1, 0, &at);
    CloseHandle(h);
    lock->handle = -1;
}

uint64_t platform_now_ms() {
    return GetTickCount64();
}

void platform_sleep_ms(unsigned ms) {
    Sleep(ms);
}
