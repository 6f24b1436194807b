# Session and simulator tests run against the in-process network server simulator.
target_link_libraries(tst_serverhandler PRIVATE tidewell_netsim)
target_link_libraries(tst_netsim PRIVATE tidewell_netsim)
add_dependencies(tst_netsim tidewell-netsim)
target_compile_definitions(tst_netsim PRIVATE TIDEWELL_NETSIM_EXE="$<TARGET_FILE:tidewell-netsim>")
