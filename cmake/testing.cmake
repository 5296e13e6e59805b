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

# A test program links GoogleTest. It drives the product's code, which keeps
# its build type; the program itself is built unoptimised, which halves its
# compile time and leaves what it tests as it ships.
function(vuzov_test_program name)
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main)
  target_compile_options(${name} PRIVATE -O0)
endfunction()

# Marks a test that runs under Wine: it needs the prefix, and it carries the
# label wine, so that a machine that cannot start this build's Wine still runs
# the build's other checks (ctest -LE wine).
function(vuzov_under_wine name)
  set_property(TEST ${name} APPEND PROPERTY LABELS wine)
  set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED wine_prefix)
endfunction()

# Adds one test program; under Wine the whole program is one test, since a Wine
# start costs about a second.
function(vuzov_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS})
  vuzov_test_program(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS "${T_LABELS}")
  if(WIN32)
    vuzov_under_wine(${name})
  endif()
endfunction()

if(WIN32)
  add_test(NAME wine_prefix_setup
           COMMAND ${CMAKE_COMMAND} -DWINE_RUN=${VUZOV_WINE_RUN}
                   -DPORT_DIR=${VUZOV_WINE_PORT_DIR} -DPREFIX=${VUZOV_WINEPREFIX} -P ${PROJECT_SOURCE_DIR}/cmake/wine-prefix.cmake)
  set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 600 LABELS wine)
endif()

# A test program that needs a serial line with a panel side. On Linux the test
# makes its own pty pair. Under Wine, ptylink (built for this machine, not for
# Windows) links COM<a> and COM<b> through two ptys and runs the program with
# VUZOV_TEST_PORT / VUZOV_TEST_PEER naming them; each such test gets its own pair.
set_property(GLOBAL PROPERTY VUZOV_NEXT_COM_PAIR 1)
if(WIN32)
  set(VUZOV_PTYLINK ${PROJECT_BINARY_DIR}/native/ptylink)
  add_custom_command(OUTPUT ${VUZOV_PTYLINK}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/native
    COMMAND c++ -std=c++17 -O2 -Wall -o ${VUZOV_PTYLINK} ${PROJECT_SOURCE_DIR}/tests/support/ptylink.cpp
    DEPENDS ${PROJECT_SOURCE_DIR}/tests/support/ptylink.cpp
    COMMENT "Building ptylink for the machine that runs Wine")
  add_custom_target(native_ptylink ALL DEPENDS ${VUZOV_PTYLINK})

  # The panel simulator, built likewise for the machine that runs Wine: the
  # Windows end-to-end and host tests put it behind a COM port of the prefix.
  set(VUZOV_NATIVE_PANELSIM ${PROJECT_BINARY_DIR}/native/panelsim)
  # With the tools' shared pieces it uses, the POSIX ones among them.
  set(panelsim_dir ${PROJECT_SOURCE_DIR}/panelsim)
  set(toolbox_dir ${PROJECT_SOURCE_DIR}/toolbox)
  file(GLOB panelsim_sources ${panelsim_dir}/*.cpp)
  file(GLOB panelsim_headers ${panelsim_dir}/*.h ${toolbox_dir}/*.h)
  list(APPEND panelsim_sources ${toolbox_dir}/duration.cpp ${toolbox_dir}/errno_text.cpp
       ${toolbox_dir}/serial_line_posix.cpp ${toolbox_dir}/unique_fd_posix.cpp)
  add_custom_command(OUTPUT ${VUZOV_NATIVE_PANELSIM}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/native
    COMMAND c++ -std=c++17 -O2 -pthread -I${panelsim_dir} -I${toolbox_dir}
            -I${PROJECT_BINARY_DIR}/generated -o ${VUZOV_NATIVE_PANELSIM} ${panelsim_sources}
    DEPENDS ${panelsim_sources} ${panelsim_headers} ${PROJECT_BINARY_DIR}/generated/vuzov_version.h
    COMMENT "Building panelsim for the machine that runs Wine")
  add_custom_target(native_panelsim ALL DEPENDS ${VUZOV_NATIVE_PANELSIM})
endif()

# A COM port of the Wine prefix for one test alone, from the same pool as the
# line tests' pairs, so that no other test re-points its link meanwhile.
function(vuzov_take_com_port out)
  get_property(port GLOBAL PROPERTY VUZOV_NEXT_COM_PAIR)
  math(EXPR next "${port} + 2")
  if(next GREATER 21)
    message(FATAL_ERROR "more line tests than the prefix has COM ports")
  endif()
  set_property(GLOBAL PROPERTY VUZOV_NEXT_COM_PAIR ${next})
  set(${out} ${port} PARENT_SCOPE)
endfunction()

function(vuzov_add_line_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS})
  vuzov_test_program(${name})
  if(WIN32)
    get_property(pair GLOBAL PROPERTY VUZOV_NEXT_COM_PAIR)
    math(EXPR peer "${pair} + 1")
    math(EXPR next "${pair} + 2")
    if(next GREATER 21)
      message(FATAL_ERROR "more line tests than the prefix has COM ports")
    endif()
    set_property(GLOBAL PROPERTY VUZOV_NEXT_COM_PAIR ${next})
    add_test(NAME ${name}
             COMMAND ${VUZOV_PTYLINK} ${VUZOV_WINE_PORT_DIR} ${pair} ${peer} --
                     ${VUZOV_WINE_RUN} $<TARGET_FILE:${name}> ${T_ARGS})
    add_dependencies(${name} native_ptylink)
  else()
    add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS "${T_LABELS}")
  if(WIN32)
    vuzov_under_wine(${name})
  endif()
endfunction()
