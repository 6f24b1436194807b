# The whole road: simulated network server in process, libmodbus as the client.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MODBUS REQUIRED IMPORTED_TARGET libmodbus)
target_link_libraries(tst_uplinkroad PRIVATE tidewell_netsim PkgConfig::MODBUS)
target_include_directories(tst_uplinkroad PRIVATE ${PROJECT_SOURCE_DIR}/tools/netsim)
