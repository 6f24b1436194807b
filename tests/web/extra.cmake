# The API of the real gateway as a child process, driven by Python's http.client
# and pymodbus (Debian's python3-pymodbus) next to the simulator program.
add_test(NAME webapi_process
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/webapi_process.py
                 $<TARGET_FILE:tidewell> $<TARGET_FILE:tidewell-netsim> ${PROJECT_SOURCE_DIR})
set_tests_properties(webapi_process PROPERTIES ENVIRONMENT "${TIDEWELL_TEST_ENV}" TIMEOUT 600)
