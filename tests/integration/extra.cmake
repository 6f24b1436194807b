# The process test starts the built gateway next to the simulated network
# server and reads registers with libmodbus.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBMODBUS REQUIRED IMPORTED_TARGET libmodbus)
if(TARGET tst_tidewellprocess)
  target_link_libraries(tst_tidewellprocess PRIVATE tidewell_netsim PkgConfig::LIBMODBUS)
  add_dependencies(tst_tidewellprocess tidewell)
endif()
