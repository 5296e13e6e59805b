# The version lives in project(... VERSION) alone: the programs' --version, the
# package names and the Windows version resources all read it from there.
configure_file(${PROJECT_SOURCE_DIR}/cmake/vuzov_version.h.in
               ${PROJECT_BINARY_DIR}/generated/vuzov_version.h @ONLY)
add_library(vuzov_version INTERFACE)
target_include_directories(vuzov_version INTERFACE ${PROJECT_BINARY_DIR}/generated)

if(WIN32)
  enable_language(RC)
endif()

# Gives a Windows binary a version resource, so Explorer's Details tab and a
# host's module list show what it is and which release. No-op elsewhere.
function(vuzov_add_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(VUZOV_RC_FILE_TYPE VFT_APP)
    set(VUZOV_RC_FILE_NAME ${target}.exe)
  else()
    set(VUZOV_RC_FILE_TYPE VFT_DLL)
    set(VUZOV_RC_FILE_NAME ${target}.dll)
  endif()
  set(VUZOV_RC_DESCRIPTION "${description}")
  set(VUZOV_RC_INTERNAL_NAME ${target})
  set(rc ${PROJECT_BINARY_DIR}/generated/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
