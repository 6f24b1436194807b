# The client tests talk to the listener through libmodbus.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MODBUS REQUIRED IMPORTED_TARGET libmodbus)
target_link_libraries(tst_modbusclients PRIVATE PkgConfig::MODBUS)
