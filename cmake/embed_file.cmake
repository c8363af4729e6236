# Turns a file into a C++ source that defines a byte array and its length, so the program
# carries the file without reading anything at run time.
#   cmake -DINPUT=<file> -DOUTPUT=<source> -DSYMBOL=<name> -P embed_file.cmake
# With -DPREFIX_HEX=<hex bytes> -DPREFIXED=<name> as well, the source defines <name>: the
# prefix bytes directly followed by the file's, and <SYMBOL> names the file's bytes inside
# it. A reply made of a fixed header and the file then leaves in one write, and the file's
# bytes are stored once.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR byte_len "${hex_len} / 2")

# Sixteen bytes to a line keeps the generated source readable in a diff or a debugger.
function(c_bytes hex_text out_var)
  string(REGEX REPLACE "([0-9a-fA-F][0-9a-fA-F])" "0x\\1," bytes "${hex_text}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
  set(${out_var} "${bytes}" PARENT_SCOPE)
endfunction()

c_bytes("${hex}" bytes)
set(head "// Generated from ${INPUT} by embed_file.cmake; do not edit.\n#include <cstddef>\n\n")
if(NOT DEFINED PREFIX_HEX)
  string(CONCAT text "${head}"
      "extern const char ${SYMBOL}[];\n"
      "extern const size_t ${SYMBOL}_len;\n\n"
      "// The bytes of the file, then a NUL that the length leaves out.\n"
      "const char ${SYMBOL}[] = {\n${bytes}0x00};\n"
      "const size_t ${SYMBOL}_len = ${byte_len};\n")
else()
  string(LENGTH "${PREFIX_HEX}" prefix_hex_len)
  math(EXPR prefix_len "${prefix_hex_len} / 2")
  math(EXPR total_len "${prefix_len} + ${byte_len}")
  c_bytes("${PREFIX_HEX}" prefix_bytes)
  # Symbols are not decorated on ELF or on 64-bit Windows, so the assembler names below are
  # the C++ names. ELF also records the type and size of the inner name for debuggers.
  string(CONCAT text "${head}"
      "extern const char ${PREFIXED}[];\n"
      "extern const size_t ${PREFIXED}_len;\n"
      "extern const char ${SYMBOL}[];\n"
      "extern const size_t ${SYMBOL}_len;\n\n"
      "// The prefix, the bytes of the file, then a NUL that the lengths leave out.\n"
      "const char ${PREFIXED}[] = {\n${prefix_bytes}\n${bytes}0x00};\n"
      "const size_t ${PREFIXED}_len = ${total_len};\n\n"
      "// ${SYMBOL} is the file's part of ${PREFIXED}, not a copy of it.\n"
      "asm(\".globl ${SYMBOL}\\n\"\n"
      "#ifdef __ELF__\n"
      "    \".type ${SYMBOL}, @object\\n\"\n"
      "    \".size ${SYMBOL}, ${byte_len} + 1\\n\"\n"
      "#endif\n"
      "    \".set ${SYMBOL}, ${PREFIXED} + ${prefix_len}\\n\");\n"
      "const size_t ${SYMBOL}_len = ${byte_len};\n")
endif()
file(WRITE "${OUTPUT}.tmp" "${text}")
# Only touch the output when it changes, so an unchanged page recompiles nothing.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
