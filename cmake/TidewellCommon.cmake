# Settings shared by every target of the project.
add_library(tidewell_common INTERFACE)
target_compile_features(tidewell_common INTERFACE cxx_std_17)
target_compile_options(tidewell_common INTERFACE
  -Wall -Wextra -Wnon-virtual-dtor -Woverloaded-virtual -Wshadow=local -Wformat=2)
target_compile_definitions(tidewell_common INTERFACE
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_USE_QSTRINGBUILDER
  QT_NO_FOREACH
  QT_DEPRECATED_WARNINGS_SINCE=0x050F00)
target_include_directories(tidewell_common INTERFACE ${PROJECT_SOURCE_DIR})

if(TIDEWELL_WERROR)
  target_compile_options(tidewell_common INTERFACE -Werror)
endif()

if(TIDEWELL_SANITIZE)
  target_compile_options(tidewell_common INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(tidewell_common INTERFACE -fsanitize=address,undefined)
endif()

# tidewell_library(<target> <folder> DEPS <libs...>)
# Builds every .cpp/.h directly inside <folder> (main.cpp excepted) into a static
# library. A folder without sources yet becomes an empty INTERFACE target, so
# dependents can name it before its code lands.
function(tidewell_library target folder)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/${folder}/*.cpp
    ${PROJECT_SOURCE_DIR}/${folder}/*.h
    ${PROJECT_SOURCE_DIR}/${folder}/*.qrc)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  set(has_cpp FALSE)
  foreach(s IN LISTS sources)
    if(s MATCHES "\\.cpp$")
      set(has_cpp TRUE)
    endif()
  endforeach()
  if(has_cpp)
    add_library(${target} STATIC ${sources})
    target_link_libraries(${target} PUBLIC tidewell_common ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE tidewell_common ${ARG_DEPS})
  endif()
endfunction()
