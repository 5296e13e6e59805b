# Where an installed VUZOV puts its files, and the rules that put them there.
#
# Linux (the Debian package, or cmake --install into a prefix):
#   bin/zemhost, bin/panelsim
#   lib/<arch>/vuzov/libvuzov.so        the module a host loads
#   lib/<arch>/vuzov/bench/libqarpro.so the host library stand-in, for zemhost alone
#   share/man/man1/, share/doc/vuzov/
#   the gateway service: its systemd unit, its user (sysusers.d) and an
#   example config, where the system keeps them (below)
# Windows (the ZIP):
#   vuzov.dll                         the module, for the host's driver folder
#   bench/zemhost.exe, bench/qarpro.dll
#   LICENSE.txt, INSTALL.txt
# The stand-in stays in a folder of its own on both, so whoever copies the
# module's folder into a host never carries it along. zemhost needs it beside
# itself on Windows (an import is looked up in the program's folder), so it
# lives in bench/ too and finds the module one folder up.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(VUZOV_INSTALL_MODULEDIR .)
  set(VUZOV_INSTALL_BENCHDIR bench)
  set(VUZOV_INSTALL_TOOLDIR bench)
  set(VUZOV_INSTALL_DOCDIR .)
else()
  # Debian keeps an architecture's libraries in a folder of its own
  # (lib/x86_64-linux-gnu), whatever the prefix; the module's folder is in it.
  if(CMAKE_LIBRARY_ARCHITECTURE)
    set(library_dir lib/${CMAKE_LIBRARY_ARCHITECTURE})
  else()
    set(library_dir ${CMAKE_INSTALL_LIBDIR})
  endif()
  set(VUZOV_INSTALL_MODULEDIR ${library_dir}/vuzov)
  set(VUZOV_INSTALL_BENCHDIR ${library_dir}/vuzov/bench)
  set(VUZOV_INSTALL_TOOLDIR ${CMAKE_INSTALL_BINDIR})
  set(VUZOV_INSTALL_DOCDIR ${CMAKE_INSTALL_DOCDIR})
endif()

# The way from one install folder to another, "." for the same one.
function(vuzov_install_relative out from to)
  file(RELATIVE_PATH path /prefix/${from}/ /prefix/${to}/)
  string(REGEX REPLACE "/$" "" path "${path}")
  if(path STREQUAL "")
    set(path .)
  endif()
  set(${out} ${path} PARENT_SCOPE)
endfunction()

# The installed zemhost finds the module, and on Linux the stand-in, by paths
# relative to itself: nothing points back into the build tree.
vuzov_install_relative(module_from_tool ${VUZOV_INSTALL_TOOLDIR} ${VUZOV_INSTALL_MODULEDIR})
vuzov_install_relative(bench_from_tool ${VUZOV_INSTALL_TOOLDIR} ${VUZOV_INSTALL_BENCHDIR})
target_compile_definitions(zemhost PRIVATE VUZOV_MODULE_DIR_FROM_PROGRAM="${module_from_tool}")
if(NOT WIN32)
  set_target_properties(zemhost PROPERTIES INSTALL_RPATH "$ORIGIN/${bench_from_tool}")
endif()

set(library_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS vuzov
        LIBRARY DESTINATION ${VUZOV_INSTALL_MODULEDIR} PERMISSIONS ${library_permissions})
if(WIN32)
  install(TARGETS qarpro RUNTIME DESTINATION ${VUZOV_INSTALL_BENCHDIR}
                         ARCHIVE DESTINATION lib COMPONENT devel EXCLUDE_FROM_ALL)
else()
  install(TARGETS qarpro
          LIBRARY DESTINATION ${VUZOV_INSTALL_BENCHDIR} PERMISSIONS ${library_permissions})
endif()
install(TARGETS zemhost RUNTIME DESTINATION ${VUZOV_INSTALL_TOOLDIR})
# What the install rules put in place, and nothing else: scripts/package.sh
# builds this target, not every test program, before packing.
add_custom_target(vuzov_packaged)
add_dependencies(vuzov_packaged vuzov qarpro zemhost)
if(TARGET panelsim)
  install(TARGETS panelsim RUNTIME DESTINATION ${VUZOV_INSTALL_TOOLDIR})
  add_dependencies(vuzov_packaged panelsim)
endif()

set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(generated_dir ${PROJECT_BINARY_DIR}/packaging)

if(WIN32)
  # Text files for Windows: CRLF, .txt, so Notepad shows them as they are.
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${generated_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${packaging_dir}/INSTALL-windows.txt.in ${generated_dir}/INSTALL.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${generated_dir}/LICENSE.txt ${generated_dir}/INSTALL.txt
          DESTINATION ${VUZOV_INSTALL_DOCDIR})
  return()
endif()

# Linux documents: the README and the pages of docs/, the panel simulator's example scenarios, the
# licence as a Debian copyright file and a Debian changelog, compressed as
# Debian's tools do (gzip -9n: best compression, no name or time inside).
find_program(VUZOV_GZIP gzip REQUIRED)

# The copyright file carries the licence text in the machine-readable format:
# each line indented by one space, an empty line as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
# The licence's terms begin at "Permission"; the title and the copyright line
# above them are the file's own fields.
string(FIND "${license_text}" "Permission" terms_start)
string(SUBSTRING "${license_text}" ${terms_start} -1 license_body)
string(STRIP "${license_body}" license_body)
string(REPLACE "\n\n" "\n.\n" license_body "${license_body}")
string(REPLACE "\n" "\n " VUZOV_LICENSE_INDENTED " ${license_body}")
configure_file(${packaging_dir}/copyright.in ${generated_dir}/copyright @ONLY)

set(VUZOV_PACKAGE_MAINTAINER "VUZOV developers <vuzov@example.org>" CACHE STRING
    "The Maintainer of the Debian package and the signer of its changelog")
string(TIMESTAMP VUZOV_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${packaging_dir}/changelog.in ${generated_dir}/changelog @ONLY)

set(compressed "")
foreach(source ${generated_dir}/changelog ${PROJECT_SOURCE_DIR}/README.md)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${generated_dir}/${name}.gz
    COMMAND ${VUZOV_GZIP} -9 -n -c ${source} > ${generated_dir}/${name}.gz
    DEPENDS ${source} VERBATIM)
  list(APPEND compressed ${generated_dir}/${name}.gz)
endforeach()
file(GLOB doc_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
set(compressed_pages "")
foreach(source ${doc_pages})
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${generated_dir}/docs/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${generated_dir}/docs
    COMMAND ${VUZOV_GZIP} -9 -n -c ${source} > ${generated_dir}/docs/${name}.gz
    DEPENDS ${source} VERBATIM)
  list(APPEND compressed_pages ${generated_dir}/docs/${name}.gz)
endforeach()

# Manual pages from the programs' own --help and --version, so they never
# drift from what the programs say.
find_program(VUZOV_HELP2MAN help2man)
set(man_pages "")
if(VUZOV_HELP2MAN)
  set(zemhost_summary "host emulator and commissioning tool for the VUZOV fire-panel driver")
  set(panelsim_summary "FP11x fire-alarm panel simulator for the VUZOV driver")
  foreach(tool zemhost panelsim)
    set(page ${generated_dir}/man/${tool}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${generated_dir}/man
      COMMAND ${VUZOV_HELP2MAN} --no-info --section=1 "--name=${${tool}_summary}"
              --output=${page} $<TARGET_FILE:${tool}>
      COMMAND ${VUZOV_GZIP} -9 -n -f ${page}
      DEPENDS ${tool} VERBATIM)
    list(APPEND man_pages ${page}.gz)
  endforeach()
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man not found: the install and the package will have no manual pages")
endif()
add_custom_target(vuzov_install_documents ALL DEPENDS ${compressed} ${compressed_pages} ${man_pages})
add_dependencies(vuzov_packaged vuzov_install_documents)

install(FILES ${generated_dir}/copyright ${compressed} DESTINATION ${VUZOV_INSTALL_DOCDIR})
install(FILES ${compressed_pages} DESTINATION ${VUZOV_INSTALL_DOCDIR}/docs)
file(GLOB example_scenarios ${PROJECT_SOURCE_DIR}/panelsim/scenarios/*.scn)
install(FILES ${example_scenarios} DESTINATION ${VUZOV_INSTALL_DOCDIR}/examples)

# The gateway as a service: the template unit vuzov-gateway@.service, the
# system user it runs as, and the commented example config. Under the prefix
# /usr, as the Debian package installs, they go where the system keeps them
# (/etc/vuzov, systemd's unit and sysusers.d folders); under any other prefix
# they stay inside it. The prefix is known only when installing (CPack
# installs with /usr), so the folders are chosen then.
set(service_dir ${packaging_dir}/service)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(VUZOV_SYSTEMD_UNITDIR systemd systemdsystemunitdir)
  pkg_get_variable(VUZOV_SYSUSERSDIR systemd sysusersdir)
endif()
if(NOT VUZOV_SYSTEMD_UNITDIR)
  set(VUZOV_SYSTEMD_UNITDIR /lib/systemd/system)
endif()
if(NOT VUZOV_SYSUSERSDIR)
  set(VUZOV_SYSUSERSDIR /usr/lib/sysusers.d)
endif()
configure_file(${service_dir}/sysusers.conf ${generated_dir}/sysusers.d/vuzov.conf COPYONLY)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(vuzov_config_dir /etc/vuzov)
    set(vuzov_unit_dir ${VUZOV_SYSTEMD_UNITDIR})
    set(vuzov_sysusers_dir ${VUZOV_SYSUSERSDIR})
  else()
    set(vuzov_config_dir \${CMAKE_INSTALL_PREFIX}/etc/vuzov)
    set(vuzov_unit_dir \${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
    set(vuzov_sysusers_dir \${CMAKE_INSTALL_PREFIX}/lib/sysusers.d)
  endif()
  file(INSTALL DESTINATION \${vuzov_config_dir} TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"${service_dir}/example.conf\")
  file(INSTALL DESTINATION \${vuzov_unit_dir} TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"${service_dir}/vuzov-gateway@.service\")
  file(INSTALL DESTINATION \${vuzov_sysusers_dir} TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"${generated_dir}/sysusers.d/vuzov.conf\")
")
