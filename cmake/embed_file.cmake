# Turns a file into a C++ source that defines a byte array and its length, so the program
# carries the file without reading anything at run time.
#   cmake -DINPUT=<file> -DOUTPUT=<source> -DSYMBOL=<name> -P embed_file.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR byte_len "${hex_len} / 2")
# Sixteen bytes to a line keeps the generated source readable in a diff or a debugger.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
    "// Generated from ${INPUT} by embed_file.cmake; do not edit.\n"
    "#include <cstddef>\n\n"
    "extern const char ${SYMBOL}[];\n"
    "extern const size_t ${SYMBOL}_len;\n\n"
    "// The bytes of the file, then a NUL that the length leaves out.\n"
    "const char ${SYMBOL}[] = {\n${bytes}0x00};\n"
    "const size_t ${SYMBOL}_len = ${byte_len};\n")
# Only touch the output when it changes, so an unchanged page recompiles nothing.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
