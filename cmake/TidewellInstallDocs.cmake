# Install step (run by cmake --install and cpack): compressed man pages and
# changelog, and the logrotate file. That file goes to /etc for the package
# (prefix /usr) and under the prefix for any other install, so that a staged
# install stays inside its folder. Set by TidewellInstall.cmake beforehand:
# TIDEWELL_PACKAGING, TIDEWELL_MANDIR, TIDEWELL_DOCDIR.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(gzipped
  "tidewell.1|${TIDEWELL_MANDIR}/man1/tidewell.1.gz"
  "tidewell-template.1|${TIDEWELL_MANDIR}/man1/tidewell-template.1.gz"
  "tidewell-netsim.1|${TIDEWELL_MANDIR}/man1/tidewell-netsim.1.gz"
  "changelog.Debian|${TIDEWELL_DOCDIR}/changelog.Debian.gz")
foreach(entry IN LISTS gzipped)
  string(REPLACE "|" ";" pair "${entry}")
  list(GET pair 0 source)
  list(GET pair 1 target)
  set(target "${root}/${target}")
  get_filename_component(folder "${target}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  message(STATUS "Installing: ${target}")
  # -n: no name or time stamp inside, so the package builds reproducibly.
  execute_process(COMMAND gzip -9n -c "${TIDEWELL_PACKAGING}/${source}" OUTPUT_FILE "${target}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip failed on ${source}")
  endif()
  file(CHMOD "${target}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

# file(INSTALL) puts DESTDIR in front by itself.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(etc "/etc")
else()
  set(etc "${CMAKE_INSTALL_PREFIX}/etc")
endif()
file(INSTALL "${TIDEWELL_PACKAGING}/tidewell.logrotate" DESTINATION "${etc}/logrotate.d"
     RENAME tidewell PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
