# Session and simulator tests run against the in-process network server simulator.
target_link_libraries(tst_serverhandler PRIVATE tidewell_netsim)
target_link_libraries(tst_netsim PRIVATE tidewell_netsim)

# The simulator program itself, driven by an independent client (python3-websockets from Debian).
find_program(TIDEWELL_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(TIDEWELL_SYSTEM_PYTHON3)
  execute_process(COMMAND ${TIDEWELL_SYSTEM_PYTHON3} -c "import websockets"
                  RESULT_VARIABLE tidewell_no_websockets OUTPUT_QUIET ERROR_QUIET)
  if(tidewell_no_websockets EQUAL 0)
    add_test(NAME netsim_python_client
             COMMAND ${TIDEWELL_SYSTEM_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/netsim_client.py
                     $<TARGET_FILE:tidewell-netsim> ${PROJECT_SOURCE_DIR}/resources/templates/demo-scenario.json)
    set_tests_properties(netsim_python_client PROPERTIES ENVIRONMENT "${TIDEWELL_TEST_ENV}" TIMEOUT 120)
  endif()
endif()
