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
  # The module runs inside the host process: ASLR and DEP, and no MinGW runtime
  # DLLs that a site would have to ship beside it.
  add_link_options(-Wl,--dynamicbase -Wl,--nxcompat -static-libgcc -static-libstdc++
                   -Wl,-Bstatic,--whole-archive -lwinpthread -Wl,--no-whole-archive,-Bdynamic)
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
