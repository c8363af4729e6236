// The floor of a saved score: the least a durable save can do. It takes the same lock as
// the plugin (an exclusive lock on "<file>.lock"), reads the score file with one read,
// writes the new content to "<file>.tmp", syncs it, renames it over the file, syncs the
// directory (POSIX only: Windows has no such call; MOVEFILE_WRITE_THROUGH stands in),
// unlocks and writes the reply. The new content and the reply are the bytes that the
// plugin produced for the same request (save.h, generated at bench time): no parsing, no
// formatting. The file named by HV_PENTRA_SCORES must exist.
// On Windows, as in the plugin, a busy lock and a refused rename are retried for a moment:
// a process's handles can outlive it briefly (wine's server closes them a little late).
// Exit status: 0 saved, 2 no lock, 3 unreadable, 4 unwritable, 5 rename refused.
#include "save.h"

#include <stdio.h>
#include <string.h>

#include "floor_write.h"

#define PATH_CAP 1024

#ifdef _WIN32
#define SHARE_ALL (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--meta") == 0) {
        write_stdout(meta, meta_len);
        return 0;
    }
    char path[PATH_CAP], lock_path[PATH_CAP + 8], tmp_path[PATH_CAP + 8];
    DWORD n = GetEnvironmentVariableA("HV_PENTRA_SCORES", path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return 3;
    snprintf(lock_path, sizeof lock_path, "%s.lock", path);
    snprintf(tmp_path, sizeof tmp_path, "%s.tmp", path);

    HANDLE lock = CreateFileA(lock_path, GENERIC_READ | GENERIC_WRITE, SHARE_ALL, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (lock == INVALID_HANDLE_VALUE)
        return 2;
    OVERLAPPED at;
    DWORD pause_ms = 1;
    for (int attempt = 0;; attempt++) { // at most about 10 s
        memset(&at, 0, sizeof at);
        if (LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
            break;
        if (attempt == 640)
            return 2;
        Sleep(pause_ms);
        if (pause_ms < 16)
            pause_ms *= 2;
    }

    char text[2048];
    HANDLE h = CreateFileA(path, GENERIC_READ, SHARE_ALL, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 3;
    DWORD got = 0;
    ReadFile(h, text, sizeof text - 1, &got, NULL);
    CloseHandle(h);

    h = CreateFileA(tmp_path, GENERIC_WRITE, SHARE_ALL, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                    NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 4;
    DWORD written = 0;
    if (!WriteFile(h, file_after, (DWORD)file_after_len, &written, NULL) || !FlushFileBuffers(h))
        return 4;
    CloseHandle(h);
    for (int attempt = 0;; attempt++) {
        if (MoveFileExA(tmp_path, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            break;
        DWORD err = GetLastError();
        if (attempt == 9 || (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION))
            return 5;
        Sleep(20);
    }

    memset(&at, 0, sizeof at);
    UnlockFileEx(lock, 0, 1, 0, &at);
    CloseHandle(lock);
    write_stdout(reply, reply_len);
    return 0;
}

#else
#include <fcntl.h>
#include <libgen.h>
#include <stdlib.h>
#include <sys/file.h>

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--meta") == 0) {
        write_stdout(meta, meta_len);
        return 0;
    }
    const char* path = getenv("HV_PENTRA_SCORES");
    if (path == NULL || strlen(path) >= PATH_CAP)
        return 3;
    char lock_path[PATH_CAP + 8], tmp_path[PATH_CAP + 8], dir[PATH_CAP];
    snprintf(lock_path, sizeof lock_path, "%s.lock", path);
    snprintf(tmp_path, sizeof tmp_path, "%s.tmp", path);

    int lock = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0 || flock(lock, LOCK_EX) != 0)
        return 2;

    char text[2048];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || read(fd, text, sizeof text - 1) < 0)
        return 3;
    close(fd);

    fd = open(tmp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || !write_all(fd, file_after, file_after_len) || fsync(fd) != 0 || close(fd) != 0)
        return 4;
    if (rename(tmp_path, path) != 0)
        return 5;
    strcpy(dir, path);
    int dfd = open(dirname(dir), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || fsync(dfd) != 0)
        return 4;
    close(dfd);

    flock(lock, LOCK_UN);
    close(lock);
    write_stdout(reply, reply_len);
    return 0;
}
#endif
