# Turns a file into a C++ source that carries it behind a fixed prefix, so the program holds
# the file without reading anything at run time:
#   cmake -DINPUT=<file> -DOUTPUT=<source> -DSYMBOL=<name> -DPREFIXED=<name>
#         -DPREFIX_MACRO=<macro> -DPREFIX_INCLUDE=<header> -P embed_file.cmake
# The source defines <PREFIXED>: the string literal that <PREFIX_MACRO> (from
# <PREFIX_INCLUDE>) stands for, directly followed by the file's bytes; <SYMBOL> points at the
# file's bytes inside it. A reply made of a fixed header and the file then leaves in one
# write, the header is written only in the source that writes the other replies, and the
# file's bytes are stored once.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR byte_len "${hex_len} / 2")

# One string literal: every byte as a \x escape (the next escape's backslash ends it),
# sixteen to a line, which keeps the generated source readable in a diff or a debugger.
string(REGEX REPLACE "([0-9a-fA-F][0-9a-fA-F])" "\\\\x\\1" escaped "${hex}")
string(REPEAT "\\\\x.." 16 line)
string(REGEX REPLACE "(${line})" "\\1\"\n\"" escaped "${escaped}")

string(CONCAT text
    "// Generated from ${INPUT} by embed_file.cmake; do not edit.\n"
    "#include <cstddef>\n\n"
    "#include \"${PREFIX_INCLUDE}\"\n\n"
    "extern const char ${PREFIXED}[];\n"
    "extern const size_t ${PREFIXED}_len;\n"
    "extern const char* const ${SYMBOL};\n"
    "extern const size_t ${SYMBOL}_len;\n\n"
    "// ${PREFIX_MACRO}, the bytes of the file, then the NUL that closes the literal and that\n"
    "// the lengths leave out.\n"
    "const char ${PREFIXED}[] = ${PREFIX_MACRO}\n\"${escaped}\";\n"
    "const size_t ${PREFIXED}_len = sizeof ${PREFIXED} - 1;\n\n"
    "// ${SYMBOL} is the file's part of ${PREFIXED}, not a copy of it.\n"
    "const char* const ${SYMBOL} = ${PREFIXED} + (sizeof ${PREFIX_MACRO} - 1);\n"
    "const size_t ${SYMBOL}_len = ${byte_len};\n"
    "static_assert(sizeof ${PREFIXED} - sizeof ${PREFIX_MACRO} == ${byte_len});\n")
file(WRITE "${OUTPUT}.tmp" "${text}")
# Only touch the output when it changes, so an unchanged page recompiles nothing.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
