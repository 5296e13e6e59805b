# Warnings, hardening and sanitizers shared by every target of the project.

add_compile_options(-Wall -Wextra -Wshadow -Wformat=2 -Wno-format-nonliteral)
if(VUZOV_WERROR)
  add_compile_options(-Werror)
endif()

# Nothing leaves the module unless it is marked for export.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

if(VUZOV_SANITIZE)
  add_compile_options(-fsanitize=${VUZOV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VUZOV_SANITIZE})
endif()

if(WIN32)
  # winpthread's archive holds a version resource of its own ("POSIX WinThreads
  # for Windows"), which --whole-archive would put into every binary beside
  # ours, and Windows would show it. Link a copy of the archive without it.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libwinpthread.a
                  OUTPUT_VARIABLE winpthread OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(VUZOV_WINPTHREAD ${PROJECT_BINARY_DIR}/winpthread/libwinpthread.a)
  if(NOT EXISTS ${VUZOV_WINPTHREAD} OR ${winpthread} IS_NEWER_THAN ${VUZOV_WINPTHREAD})
    file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/winpthread)
    file(COPY_FILE ${winpthread} ${VUZOV_WINPTHREAD})
    execute_process(COMMAND ${CMAKE_AR} d ${VUZOV_WINPTHREAD} version.o RESULT_VARIABLE ar_result)
    if(NOT ar_result EQUAL 0)
      message(FATAL_ERROR "could not take the version resource out of ${VUZOV_WINPTHREAD}")
    endif()
  endif()
  # The module runs inside the host process: ASLR and DEP, and no MinGW runtime
  # DLLs that a site would have to ship beside it.
  add_link_options(-Wl,--dynamicbase -Wl,--nxcompat -static-libgcc -static-libstdc++
                   -Wl,-Bstatic,--whole-archive ${VUZOV_WINPTHREAD} -Wl,--no-whole-archive,-Bdynamic)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # A 64-bit image may be placed anywhere in the address space, not only below 4 GiB.
    add_link_options(-Wl,--high-entropy-va)
  endif()
elseif(NOT VUZOV_SANITIZE)
  add_compile_options(-fstack-protector-strong)
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  add_link_options(-Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
endif()
