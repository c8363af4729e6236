// The floor of a read-only request: a program that does nothing but write the reply that
// the plugin gives, byte for byte. reply.h is generated at bench time from one real run of
// the plugin (see embed.c); it holds `reply` and `meta`, the plugin's discovery line, so
// that a host can discover this program like the plugin.
// Built statically for Linux with gcc and for Windows with mingw-w64.
#include "reply.h"

#include <string.h>

#ifdef _WIN32
#include <windows.h>

// Writes all n bytes to standard output; no C runtime stream is involved, so nothing is
// translated.
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

// Writes all n bytes to standard output, retrying short and interrupted writes.
static void write_stdout(const unsigned char* buf, unsigned long n) {
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, buf, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        buf += w;
        n -= (unsigned long)w;
    }
}
#endif

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--meta") == 0)
        write_stdout(meta, meta_len);
    else
        write_stdout(reply, reply_len);
    return 0;
}
