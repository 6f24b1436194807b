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

# tidewell_library(<target> <folder> DEPS <libs...> [PRIVATE <libs...>])
# Builds every .cpp/.h directly inside <folder> (main.cpp excepted) into a static
# library. DEPS are what its headers need (passed on to whoever links it),
# PRIVATE what only its sources use. A folder without sources yet becomes an
# empty INTERFACE target, so dependents can name it before its code lands.
# scripts/check-includes holds every #include "<folder>/..." to these links.
function(tidewell_library target folder)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE" ${ARGN})
  set_property(GLOBAL APPEND PROPERTY TIDEWELL_LIBRARY_FOLDERS "${folder}=${target}")
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
    if(ARG_PRIVATE)
      target_link_libraries(${target} PRIVATE ${ARG_PRIVATE})
    endif()
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE tidewell_common ${ARG_DEPS} ${ARG_PRIVATE})
  endif()
endfunction()

# Writes <build>/include-map.txt for scripts/check-includes: the library of
# each folder, and per target its sources, its direct links and the links it
# passes on. Call once, at the end of the top-level CMakeLists.txt.
function(tidewell_collect_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    tidewell_collect_targets(${sub} sub_targets)
    list(APPEND targets ${sub_targets})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(tidewell_write_include_map)
  tidewell_collect_targets(${PROJECT_SOURCE_DIR} targets)
  get_property(folders GLOBAL PROPERTY TIDEWELL_LIBRARY_FOLDERS)
  set(text "")
  foreach(entry IN LISTS folders)
    string(APPEND text "folder ${entry}\n")
  endforeach()
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    set(sources "")
    set(links "")
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(sources ${t} SOURCES)
      get_target_property(source_dir ${t} SOURCE_DIR)
      get_target_property(links ${t} LINK_LIBRARIES)
    endif()
    get_target_property(passed ${t} INTERFACE_LINK_LIBRARIES)
    set(absolute "")
    foreach(s IN LISTS sources)
      if(s MATCHES "\\.(cpp|h)$")
        get_filename_component(s "${s}" ABSOLUTE BASE_DIR "${source_dir}")
        list(APPEND absolute "${s}")
      endif()
    endforeach()
    # Written as text: generator expressions are not evaluated here.
    string(REPLACE "$<" "@<" links "${links}")
    string(REPLACE "$<" "@<" passed "${passed}")
    string(APPEND text "target ${t}|${absolute}|${links}|${passed}\n")
  endforeach()
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/include-map.txt CONTENT "${text}")
endfunction()
