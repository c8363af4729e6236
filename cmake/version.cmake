# The version is written once, in project() in CMakeLists.txt. This turns it into the header
# that gives the program its version text and, for Windows, into the version resource and the
# application manifest, so that no other file repeats it.
set(PENTRA_VERSION ${PROJECT_VERSION})
# Windows wants four numbers; the fourth is always 0.
set(PENTRA_VERSION_QUAD
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
string(REPLACE "." "," PENTRA_VERSION_COMMAS ${PENTRA_VERSION_QUAD})

set(PENTRA_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/../src/version.hpp.in
               ${PENTRA_GENERATED_DIR}/version.hpp @ONLY)

# The resource object is its own target so that the C++ warning options of the program never
# reach the resource compiler.
if(WIN32)
  enable_language(RC)
endif()
function(pentra_add_windows_resources target)
  set(res_dir ${CMAKE_CURRENT_SOURCE_DIR}/src/windows)
  configure_file(${res_dir}/plugin.manifest.in ${PENTRA_GENERATED_DIR}/plugin.manifest @ONLY)
  configure_file(${res_dir}/plugin.rc.in ${PENTRA_GENERATED_DIR}/plugin.rc @ONLY)
  add_library(${target}_resources OBJECT ${PENTRA_GENERATED_DIR}/plugin.rc)
  target_link_libraries(${target} PRIVATE ${target}_resources)
endfunction()
