# The kill test starts this program, lets it write and kills it mid-write.
add_executable(tidewell_dbwriter ${CMAKE_CURRENT_LIST_DIR}/dbwriter.cpp)
target_link_libraries(tidewell_dbwriter PRIVATE tidewell_storage tidewell_app tidewell_common)
add_dependencies(tst_databasehandler tidewell_dbwriter)
target_compile_definitions(tst_databasehandler PRIVATE TIDEWELL_DBWRITER="$<TARGET_FILE:tidewell_dbwriter>")
