// The floor of a read-only request: a program that does nothing but write the reply that
// the plugin gives, byte for byte. reply.h is generated at bench time from one real run of
// the plugin (see embed.c); it holds `reply` and `meta`, the plugin's discovery line, so
// that a host can discover this program like the plugin.
// Built statically for Linux with gcc and for Windows with mingw-w64.
#include "reply.h"

#include <string.h>

#include "floor_write.h"

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--meta") == 0)
        write_stdout(meta, meta_len);
    else
        write_stdout(reply, reply_len);
    return 0;
}
