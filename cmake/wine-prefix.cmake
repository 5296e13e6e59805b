# Creates the build's Wine prefix and maps COM1..COM24 to links in PORT_DIR.
file(MAKE_DIRECTORY ${PORT_DIR})
# A prefix set up by an earlier run is kept: booting one costs most of a minute.
if(EXISTS ${PREFIX}/vuzov-prefix-ready-24)
  return()
endif()
execute_process(COMMAND ${WINE_RUN} wineboot -i RESULT_VARIABLE boot_result)
if(NOT boot_result EQUAL 0)
  message(FATAL_ERROR "wineboot failed: ${boot_result}")
endif()
foreach(n RANGE 1 24)
  execute_process(COMMAND ${WINE_RUN} reg add "HKLM\\Software\\Wine\\Ports" /v COM${n}
                          /t REG_SZ /d "${PORT_DIR}/com${n}" /f
                  RESULT_VARIABLE reg_result OUTPUT_QUIET)
  if(NOT reg_result EQUAL 0)
    message(FATAL_ERROR "could not map COM${n}: ${reg_result}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} wineserver -w)
file(TOUCH ${PREFIX}/vuzov-prefix-ready-24)
