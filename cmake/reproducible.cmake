# Flags that make two builds of one commit byte-identical, whatever folder they run in. They
# are part of every build, so the programs the tests run are the programs that get released.
#
# Source and build folders are written into the objects as "." and "build" (for __FILE__ and
# debug information); the later map wins for the build folder inside the source folder.
# These are the macro and debug parts of -ffile-prefix-map: its profile part would also
# rewrite the paths in coverage data, and coverage reports need the real source paths.
foreach(map "${CMAKE_SOURCE_DIR}=." "${CMAKE_BINARY_DIR}=build")
  add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-fmacro-prefix-map=${map}>"
                      "$<$<COMPILE_LANGUAGE:CXX>:-fdebug-prefix-map=${map}>")
endforeach()
add_compile_options(
  # The build time must never reach the program: __DATE__ and __TIME__ are warnings (errors
  # with PENTRA_WARNINGS_AS_ERRORS). SOURCE_DATE_EPOCH, set by scripts/test and
  # scripts/release from the commit time, covers whatever the compiler dates itself.
  "$<$<COMPILE_LANGUAGE:CXX>:-Wdate-time>")
if(WIN32)
  # A PE file carries its link time unless told not to.
  add_link_options(LINKER:--no-insert-timestamp)
endif()
