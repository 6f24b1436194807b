# The Modbus benchmarks drive both servers with libmodbus; bench_latency also
# runs the network server simulator in process.
find_package(PkgConfig REQUIRED)
pkg_check_modules(BENCH_MODBUS REQUIRED IMPORTED_TARGET libmodbus)
foreach(target bench_modbus bench_latency)
  if(TARGET ${target})
    target_link_libraries(${target} PRIVATE PkgConfig::BENCH_MODBUS)
  endif()
endforeach()
if(TARGET bench_latency AND TARGET tidewell_netsim)
  target_link_libraries(bench_latency PRIVATE tidewell_netsim)
  target_include_directories(bench_latency PRIVATE ${PROJECT_SOURCE_DIR}/tools/netsim)
endif()
