// Turns the bytes of a file into a C array, so that a floor program can write back exactly
// what the plugin wrote. Usage: embed NAME <input >output.h
// The output defines `static const unsigned char NAME[]` and `NAME_len`.
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: embed NAME <input >output.h\n");
        return 2;
    }
    const char* name = argv[1];
    printf("static const unsigned char %s[] = {", name);
    unsigned long n = 0;
    int c;
    while ((c = getchar()) != EOF) {
        printf("%s%u,", n % 16 == 0 ? "\n    " : "", (unsigned)c);
        n++;
    }
    // An empty array is not valid C; a trailing zero that is never written keeps it legal.
    printf("%s0};\n", n % 16 == 0 ? "\n    " : "");
    printf("static const unsigned long %s_len = %luUL;\n", name, n);
    return ferror(stdin) ? 1 : 0;
}
