// What both floor programs write with: all n bytes to standard output with no C runtime
// stream involved, so nothing is translated; and, on POSIX, all n bytes to a file.
#ifndef FLOOR_WRITE_H
#define FLOOR_WRITE_H

#ifdef _WIN32
#include <windows.h>

static void write_stdout(const unsigned char* buf, unsigned long n) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (n > 0) {
        DWORD w = 0;
        if (!WriteFile(out, buf, (DWORD)n, &w, NULL) || w == 0)
            return;
        buf += w;
        n -= w;
    }
}
#else
#include <errno.h>
#include <unistd.h>

// Retries short and interrupted writes; 0 when the rest cannot be written.
static int write_all(int fd, const unsigned char* buf, unsigned long n) {
    while (n > 0) {
        ssize_t w = write(fd, buf, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return 0;
        buf += w;
        n -= (unsigned long)w;
    }
    return 1;
}

static void write_stdout(const unsigned char* buf, unsigned long n) {
    write_all(STDOUT_FILENO, buf, n);
}
#endif

#endif
