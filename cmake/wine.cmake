# Windows programs of this build run under Wine, with a prefix inside the build tree.
set(VUZOV_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
# A 32-bit build runs in a 32-bit prefix through the wine launcher, which picks
# the 32-bit loader. A 64-bit build names the 64-bit loader itself, so that it
# starts on a machine whose kernel cannot execute 32-bit programs.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VUZOV_WINEARCH win64)
  set(VUZOV_WINE_LOADER /usr/lib/wine/wine64)
else()
  set(VUZOV_WINEARCH win32)
  set(VUZOV_WINE_LOADER wine)
endif()
# COM ports of the prefix point at fixed links in this folder; a test re-points a
# link at the pty it has just made, so the registry never changes between tests.
set(VUZOV_WINE_PORT_DIR ${PROJECT_BINARY_DIR}/ports)
configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${PROJECT_BINARY_DIR}/wine-run.sh
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE @ONLY)
set(VUZOV_WINE_RUN ${PROJECT_BINARY_DIR}/wine-run.sh)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VUZOV_WINE_RUN})
