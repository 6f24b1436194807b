# Window and dialog tests talk to the simulated network server and read the
# served registers with libmodbus.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBMODBUS REQUIRED IMPORTED_TARGET libmodbus)
foreach(t tst_deviceforms tst_mainwindow)
  if(TARGET ${t})
    target_link_libraries(${t} PRIVATE tidewell_netsim PkgConfig::LIBMODBUS)
  endif()
endforeach()

# The widget tests load the style sheet and icons themselves.
foreach(t tst_palette tst_paneltitle tst_widgetkit)
  if(TARGET ${t})
    target_link_libraries(${t} PRIVATE tidewell_resources)
  endif()
endforeach()
