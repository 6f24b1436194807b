# Session and simulator tests run against the in-process network server simulator.
target_link_libraries(tst_serverhandler PRIVATE tidewell_netsim)
target_link_libraries(tst_netsim PRIVATE tidewell_netsim)

# The simulator program itself, driven by an independent client (python3-websockets
# from Debian, installed by scripts/deps): always registered, and it fails naming
# the module when that client cannot be imported.
add_test(NAME netsim_python_client
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/netsim_client.py
                 $<TARGET_FILE:tidewell-netsim> ${PROJECT_SOURCE_DIR}/resources/templates/demo-scenario.json)
set_tests_properties(netsim_python_client PROPERTIES ENVIRONMENT "${TIDEWELL_TEST_ENV}" TIMEOUT 120)

# The keep-alive test freezes the simulator program with SIGSTOP.
add_dependencies(tst_serverhandler tidewell-netsim)
