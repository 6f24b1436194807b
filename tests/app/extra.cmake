# The queued-connection types are the server link's.
target_link_libraries(tst_globaldata PRIVATE tidewell_serverlink)
