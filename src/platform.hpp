// The few operating-system services the plugin needs. Each platform supplies them in a
// source of its own (platform_posix.cpp, platform_windows.cpp); everything else is portable.
// Texts are UTF-8 inside the program; the Windows source converts at this edge.
// Paths: on Windows every path given to the file and directory functions below is made
// absolute (GetFullPathNameW) and passed in extended-length form, "\\?\C:\..." or
// "\\?\UNC\server\share\...", so paths longer than MAX_PATH work on a stock system; a path
// already in that form is used unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

// The separator placed between two pieces of a path.
extern const char PATH_SEP;

// Puts standard input and output in binary mode, so that bytes pass unchanged.
void platform_init_stdio();

// Returns the value of environment variable `name`, or nullptr when it is absent. A variable
// that is present with an empty value gives "". The text stays valid for the whole run.
const char* platform_getenv(const char* name);

// Reads standard input until n bytes have arrived, the input ends or fails. Returns the
// number of bytes read; input beyond n stays unread.
size_t platform_read_stdin(char* buf, size_t n);

// Writes n bytes to standard output, retrying short writes. Failures are not reported: a
// CGI program has nobody left to tell.
void platform_write_stdout(const char* buf, size_t n);

// Creates one directory level with default permissions. Failure (the directory exists
// already, a parent is missing) is the caller's to ignore.
void platform_make_dir(const char* path);

// Symbolic links planted by other users. On POSIX, a link in a folder that other users may
// write to (group- or world-writable) is followed only when it belongs to the program's
// effective user or to the folder's owner; platform_read_file and platform_resolve_links
// treat any other link there as a path they cannot use. Windows follows every link and
// reparse point, as the system does.

// Reads at most n bytes from the regular file at path. Returns the number of bytes read, or
// -1 when the path cannot be opened or is not a regular file (a directory, a device, a pipe),
// or when a link at path, or one it leads to, may not be followed (see above). Never blocks
// on a special file.
long platform_read_file(const char* path, char* buf, size_t n);

enum class path_kind { missing, regular, other };

// Tells what lies at path, following symbolic links.
path_kind platform_path_kind(const char* path);

// Writes into out the path that path finally designates once its symbolic links are
// followed, so that replacing `out` keeps the links in place. A path that is no link, or
// whose target does not exist, may come back unchanged. Returns false when the result does
// not fit in cap bytes, the links loop, or one of them may not be followed (see above).
bool platform_resolve_links(const char* path, char* out, size_t cap);

// Writes data to tmp_path (created or truncated), forces it to disk, and renames it over
// path in one atomic step. On any failure the temporary file is removed, path is left as it
// was, and false is returned.
bool platform_replace_file(const char* path, const char* tmp_path, const char* data, size_t n);

// An exclusive lock held on a lock file. The operating system drops it when the process dies,
// so a killed run never leaves a stale lock behind.
struct file_lock {
    intptr_t handle;
};

enum class lock_result { taken, busy, failed };

// Tries once, without waiting, to take the exclusive lock on the file at path, creating the
// file when it is missing. `failed` means the lock file cannot be opened at all; on POSIX a
// symbolic link at path is never followed and fails so.
lock_result platform_try_lock(const char* path, file_lock* lock);

// Releases a lock taken by platform_try_lock.
void platform_unlock(file_lock* lock);

// Milliseconds from an arbitrary fixed point; only differences are meaningful.
uint64_t platform_now_ms();

void platform_sleep_ms(unsigned ms);
