# The version is written once, in project() in CMakeLists.txt. This turns it into the header
# that gives the program its version text; cmake/windows_resources.cmake turns it into the
# Windows version resource and application manifest. No other file repeats it.
set(PENTRA_VERSION ${PROJECT_VERSION})

set(PENTRA_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/../src/version.hpp.in
               ${PENTRA_GENERATED_DIR}/version.hpp @ONLY)
