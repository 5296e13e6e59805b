# The site packages, built by CPack from what the install rules put in place:
# a ZIP from the Windows build, a Debian package from the Linux build.
# scripts/package.sh builds both into dist/.
set(CPACK_PACKAGE_NAME vuzov)
set(CPACK_PACKAGE_VENDOR "the VUZOV developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver for FP11x fire-alarm panels in a SCADA host")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vuzov-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # vuzov_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VUZOV_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The extended description, under the summary CPack puts first.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
VUZOV connects FP11x fire-alarm control panels to a SCADA or building
management host over the panel's serial BMS interface: the host loads the
module libvuzov.so, which polls the panel, reports zones and elements as the
host's data points and sends acknowledge, reset and silence.

The package also carries zemhost, a host emulator for commissioning a line
without the host and a gateway to an MQTT broker, which runs as the service
vuzov-gateway@NAME with the config /etc/vuzov/NAME.conf, and panelsim, a
panel simulator for the bench. The host runtime stand-in that zemhost uses
lies in a folder of its own, out of every host's search path.")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # dpkg-shlibdeps finds the system libraries the binaries need; the stand-in
  # is the package's own (the path is inside the package's root).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${VUZOV_INSTALL_BENCHDIR})
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
  # The gateway service: the maintainer scripts make its user (adduser where
  # systemd-sysusers is missing) and tell systemd of its unit; the example
  # config is a conffile, so an upgrade keeps a site's edits.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
  set(service_dir ${PROJECT_SOURCE_DIR}/packaging/service)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${service_dir}/postinst ${service_dir}/prerm ${service_dir}/postrm ${service_dir}/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
