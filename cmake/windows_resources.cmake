# The Windows program's version resource and application manifest, made from
# src/windows/*.in with the project version (see cmake/version.cmake).
if(WIN32)
  enable_language(RC)
endif()

# Windows wants four numbers; the fourth is always 0.
set(PENTRA_VERSION_QUAD
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
string(REPLACE "." "," PENTRA_VERSION_COMMAS ${PENTRA_VERSION_QUAD})

# The resource object is its own target so that the C++ warning options of the program never
# reach the resource compiler.
function(pentra_add_windows_resources target)
  set(res_dir ${CMAKE_CURRENT_SOURCE_DIR}/src/windows)
  configure_file(${res_dir}/plugin.manifest.in ${PENTRA_GENERATED_DIR}/plugin.manifest @ONLY)
  configure_file(${res_dir}/plugin.rc.in ${PENTRA_GENERATED_DIR}/plugin.rc @ONLY)
  add_library(${target}_resources OBJECT ${PENTRA_GENERATED_DIR}/plugin.rc)
  target_link_libraries(${target} PRIVATE ${target}_resources)
endfunction()
