# The web console in headless Chromium against the built gateway and the
# simulator (tests/console/browser_flows.py). Always registered: a missing
# chromium, chromium-driver or python3-selenium fails it with their names.
add_test(NAME web_console_browser
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/browser_flows.py
                 $<TARGET_FILE:tidewell> $<TARGET_FILE:tidewell-netsim> ${PROJECT_SOURCE_DIR}/resources/templates)
set_tests_properties(web_console_browser PROPERTIES ENVIRONMENT "${TIDEWELL_TEST_ENV}" TIMEOUT 600)
