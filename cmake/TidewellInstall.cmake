# Install layout and the Debian package (cpack -G DEB).
include(GNUInstallDirs)

install(TARGETS tidewell RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tidewell-netsim)
  install(TARGETS tidewell-netsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES resources/packaging/tidewell.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# Drawn by tools/icongen at every size the desktop asks for.
install(DIRECTORY resources/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
set(tidewell_docdir ${CMAKE_INSTALL_DATADIR}/doc/tidewell)
install(FILES resources/packaging/copyright DESTINATION ${tidewell_docdir})
install(FILES resources/packaging/settings.conf.example DESTINATION ${tidewell_docdir}/examples
        RENAME settings.conf)
install(DIRECTORY resources/templates/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tidewell/templates
        FILES_MATCHING PATTERN "*.json" PATTERN "*scenario*" EXCLUDE)
install(FILES resources/templates/demo-scenario.json DESTINATION ${CMAKE_INSTALL_DATADIR}/tidewell)

# The unit names the binary by its final path, known only when installing:
# /usr/bin for the package, the staging directory for a staged install.
# Under the prefix, so that a staged install stays inside its directory; with
# the prefix /usr this is where Debian keeps packaged units.
install(CODE "
  file(READ \"${PROJECT_SOURCE_DIR}/resources/packaging/tidewell.service.in\" unit)
  string(REPLACE \"@CMAKE_INSTALL_FULL_BINDIR@\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\" unit \"\${unit}\")
  set(target \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/tidewell.service\")
  message(STATUS \"Installing: \${target}\")
  file(WRITE \"\${target}\" \"\${unit}\")
")

# Man pages and the changelog go compressed, as Debian keeps them, and the
# logrotate file to /etc; see cmake/TidewellInstallDocs.cmake.
install(CODE "
  set(TIDEWELL_PACKAGING \"${PROJECT_SOURCE_DIR}/resources/packaging\")
  set(TIDEWELL_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
  set(TIDEWELL_DOCDIR \"${tidewell_docdir}\")
")
install(SCRIPT cmake/TidewellInstallDocs.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tidewell)
set(CPACK_PACKAGE_VENDOR "Tidewell developers")
set(CPACK_PACKAGE_CONTACT "Tidewell developers <tidewell@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Gateway between a LoRaWAN network server and Modbus TCP clients")
set(CPACK_PACKAGE_DESCRIPTION
    "Tidewell logs into a LoRaWAN network server over a WebSocket, decodes the\n\
uplinks of the devices the operator registered with a JSON template per\n\
device type into 16-bit registers, keeps them in SQLite and serves them to\n\
Modbus TCP clients, one TCP port per group of devices. It runs as a desktop\n\
window or as the headless service tidewell.service.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY tidewell)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Not found by shlibdeps: the SQLite driver is a plugin, adduser runs in postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite, adduser")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/resources/packaging/postinst ${PROJECT_SOURCE_DIR}/resources/packaging/prerm
    ${PROJECT_SOURCE_DIR}/resources/packaging/postrm ${PROJECT_SOURCE_DIR}/resources/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
