# Reads the built module as a site's security review would and fails when a
# hardening property a host expects of a loaded module is missing.
#
# Linux (READELF): full RELRO (a GNU_RELRO segment and immediate binding), a
# stack that is not executable, the stack protector's __stack_chk_fail and the
# checked _chk variants that _FORTIFY_SOURCE puts in place of plain calls.
# Windows (OBJDUMP): the DLL characteristics for ASLR (DYNAMIC_BASE) and DEP
# (NX_COMPAT), and base relocations, without which ASLR cannot move the DLL. A
# 64-bit DLL (PE32+) also needs HIGH_ENTROPY_VA, or ASLR keeps it below 4 GiB.
cmake_minimum_required(VERSION 3.25)

set(failures "")

function(run_tool out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE error RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${result}): ${error}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(PLATFORM STREQUAL "posix")
  run_tool(segments ${READELF} -lW ${MODULE})
  run_tool(dynamic ${READELF} -dW ${MODULE})
  run_tool(symbols ${READELF} --dyn-syms -W ${MODULE})
  string(REGEX MATCH "GNU_STACK[^\n]*" stack "${segments}")
  if(stack STREQUAL "")
    list(APPEND failures "no GNU_STACK segment: the loader guesses the stack's permissions")
  elseif(stack MATCHES " RWE ")
    list(APPEND failures "the stack is executable (-z noexecstack): ${stack}")
  endif()
  if(NOT segments MATCHES "GNU_RELRO")
    list(APPEND failures "no GNU_RELRO segment (-z relro)")
  endif()
  if(NOT dynamic MATCHES "\\(FLAGS\\)[^\n]*BIND_NOW" AND NOT dynamic MATCHES "FLAGS_1[^\n]*NOW")
    list(APPEND failures "no immediate binding (-z now): RELRO is only partial")
  endif()
  if(NOT symbols MATCHES "__stack_chk_fail")
    list(APPEND failures "no stack protector (__stack_chk_fail)")
  endif()
  string(REGEX MATCHALL "__[a-z_]+_chk@" checked "${symbols}")
  if(NOT checked)
    list(APPEND failures "no _FORTIFY_SOURCE checked calls (__*_chk)")
  endif()
  message(STATUS "checked calls: ${checked}")
else()
  run_tool(headers ${OBJDUMP} -p ${MODULE})
  string(REGEX MATCH "DllCharacteristics[^\n]*" characteristics "${headers}")
  message(STATUS "${characteristics}")
  if(NOT headers MATCHES "DYNAMIC_BASE")
    list(APPEND failures "DllCharacteristics lack DYNAMIC_BASE (--dynamicbase): no ASLR")
  endif()
  if(NOT headers MATCHES "NX_COMPAT")
    list(APPEND failures "DllCharacteristics lack NX_COMPAT (--nxcompat): no DEP")
  endif()
  if(NOT headers MATCHES "Entry 5 [0-9a-fA-F]+ 0*[1-9a-fA-F][0-9a-fA-F]* Base Relocation Directory")
    list(APPEND failures "no base relocations: the DLL cannot be moved, so ASLR has no effect")
  endif()
  if(headers MATCHES "Magic[ \t]+020b" AND NOT headers MATCHES "HIGH_ENTROPY_VA")
    list(APPEND failures "a PE32+ DLL without HIGH_ENTROPY_VA (--high-entropy-va): ASLR stays below 4 GiB")
  endif()
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "${MODULE} is missing hardening:\n  ${text}")
endif()
message(STATUS "${MODULE}: hardening in place")
