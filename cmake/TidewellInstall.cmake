# Install layout and the Debian package (cpack -G DEB).
include(GNUInstallDirs)

install(TARGETS tidewell RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tidewell-netsim)
  install(TARGETS tidewell-netsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES resources/packaging/tidewell.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES resources/icons/tidewell.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
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

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tidewell)
set(CPACK_PACKAGE_VENDOR "Tidewell developers")
set(CPACK_PACKAGE_CONTACT "Tidewell developers <tidewell@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Gateway between a LoRaWAN network server and Modbus TCP clients")
set(CPACK_PACKAGE_INSTALL_DIRECTORY tidewell)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not found by shlibdeps: the SQLite driver is a plugin, adduser runs in postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/resources/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
