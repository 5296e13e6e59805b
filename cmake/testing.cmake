# GoogleTest for both builds, and Wine as the runner of the Windows test programs.
enable_testing()

if(WIN32)
  # No MinGW build of GoogleTest is packaged: build Debian's sources for the target.
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()

# Adds one test program; under Wine the whole program is one test, since a Wine
# start costs about a second.
function(vuzov_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS "${T_LABELS}")
  if(WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_prefix)
  endif()
endfunction()

if(WIN32)
  add_test(NAME wine_prefix_setup
           COMMAND ${CMAKE_COMMAND} -DWINE_RUN=${VUZOV_WINE_RUN}
                   -DPORT_DIR=${VUZOV_WINE_PORT_DIR} -DPREFIX=${VUZOV_WINEPREFIX} -P ${PROJECT_SOURCE_DIR}/cmake/wine-prefix.cmake)
  set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 600)
endif()
