# The web API benchmark drives the web service in process, reads Modbus with
# libmodbus and runs the network server simulator beside it.
if(TARGET bench_webapi)
  pkg_check_modules(BENCH_WEB_MODBUS REQUIRED IMPORTED_TARGET libmodbus)
  target_link_libraries(bench_webapi PRIVATE tidewell_web tidewell_netsim PkgConfig::BENCH_WEB_MODBUS)
  target_include_directories(bench_webapi PRIVATE ${PROJECT_SOURCE_DIR}/tools/netsim)
endif()
