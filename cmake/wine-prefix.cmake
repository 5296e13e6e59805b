# Creates the build's Wine prefix and maps COM1..COM24 to links in PORT_DIR.
file(MAKE_DIRECTORY ${PORT_DIR})
# A prefix set up by an earlier run is kept: booting one costs several seconds.
if(EXISTS ${PREFIX}/vuzov-prefix-ready-24)
  return()
endif()
execute_process(COMMAND ${WINE_RUN} wineboot -i RESULT_VARIABLE boot_result)
if(NOT boot_result EQUAL 0)
  message(FATAL_ERROR "wineboot failed: ${boot_result}")
endif()
# All 24 ports in one registry import: each Wine program started from here is
# waited for until the prefix's wineserver lets go of its output, seconds each.
set(ports_reg ${PREFIX}/vuzov-ports.reg)
string(REPLACE "\\" "\\\\" escaped_port_dir "${PORT_DIR}")
set(text "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n")
foreach(n RANGE 1 24)
  string(APPEND text "\"COM${n}\"=\"${escaped_port_dir}/com${n}\"\n")
endforeach()
file(WRITE ${ports_reg} "${text}")
# The Z: drive of a new prefix is the Linux root, so the file is Z:<its path>.
execute_process(COMMAND ${WINE_RUN} regedit /S "Z:${ports_reg}" RESULT_VARIABLE reg_result)
if(NOT reg_result EQUAL 0)
  message(FATAL_ERROR "could not import the COM port map: ${reg_result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} wineserver -w)
# regedit may answer 0 and still have written nothing: read the saved registry.
file(READ ${PREFIX}/system.reg registry)
foreach(n RANGE 1 24)
  string(FIND "${registry}" "\"COM${n}\"=\"${escaped_port_dir}/com${n}\"" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "COM${n} is not mapped to ${PORT_DIR}/com${n} in ${PREFIX}/system.reg")
  endif()
endforeach()
file(TOUCH ${PREFIX}/vuzov-prefix-ready-24)
