# The client tests talk through libmodbus and pymodbus to a listener that
# reads the register image.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MODBUS REQUIRED IMPORTED_TARGET libmodbus)
target_link_libraries(tst_modbusclients PRIVATE PkgConfig::MODBUS)


# The descriptor test exhausts the open-file limit on purpose. UBSan's type
# check needs descriptors of its own the first time it meets a type, and
# reports a false error when none is left: the test's own code goes without
# it (the library's code is checked once descriptors are free again).
if(TIDEWELL_SANITIZE AND TARGET tst_devicehandler)
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/tst_devicehandler.cpp
                              TARGET_DIRECTORY tst_devicehandler PROPERTIES COMPILE_OPTIONS -fno-sanitize=vptr)
endif()
