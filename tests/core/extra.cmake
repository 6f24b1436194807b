# The gateway test reads the served registers with libmodbus, next to the simulated server.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBMODBUS REQUIRED IMPORTED_TARGET libmodbus)
target_link_libraries(tst_gateway PRIVATE tidewell_netsim PkgConfig::LIBMODBUS)
target_compile_definitions(tst_gateway PRIVATE TIDEWELL_TEMPLATE_TOOL="$<TARGET_FILE:tidewell-template>")
add_dependencies(tst_gateway tidewell-template)
