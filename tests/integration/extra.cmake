# The whole road: simulated network server in process, libmodbus as the client.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MODBUS REQUIRED IMPORTED_TARGET libmodbus)
target_link_libraries(tst_uplinkroad PRIVATE tidewell_netsim PkgConfig::MODBUS)

# The process test starts the built gateway next to the simulated server, and
# prepares its server.db with the store and the template catalogue.
if(TARGET tst_tidewellprocess)
  target_link_libraries(tst_tidewellprocess PRIVATE tidewell_devices tidewell_netsim PkgConfig::MODBUS)
  add_dependencies(tst_tidewellprocess tidewell)
endif()
if(TARGET tst_tidewellprocess)
  target_compile_definitions(tst_tidewellprocess PRIVATE CMAKE_COMMAND="${CMAKE_COMMAND}")
  add_dependencies(tst_tidewellprocess tidewell-netsim)
endif()

# Start-up problems: the built gateway in working directories made per case.
if(TARGET tst_startupcauses)
  add_dependencies(tst_startupcauses tidewell)
endif()
