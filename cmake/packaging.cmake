# Installation (cmake --install), man pages, the systemd unit and the Debian
# package (cpack; scripts/package.sh).
set(CMAKE_INSTALL_DOCDIR share/doc/tavrel-comm CACHE PATH "Documentation directory")
include(GNUInstallDirs)

set(TAVREL_PROGRAMS tavrel-comm tavrel-setup tavrel-web tavrel-sim Tabulon)
set(TAVREL_SERVICE_USER tavrel-comm)
# The service's installation, made by tavrel-setup; its data outlives the package.
set(TAVREL_STATE_DIR /var/lib/tavrel-comm)

foreach(tool ${TAVREL_PROGRAMS})
  target_compile_definitions(${tool} PRIVATE TAVREL_VERSION="${PROJECT_VERSION}")
endforeach()

# Tabulon goes beside tavrel-comm, where the server looks for it first.
install(TARGETS ${TAVREL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/data/pgc_dataset.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/tavrel-comm)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The unit names the server by its installed path, which is known only when
# installing (cpack installs under another prefix than the build's).
install(CODE "
  set(TAVREL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(TAVREL_STATE_DIR \"${TAVREL_STATE_DIR}\")
  set(TAVREL_SERVICE_USER \"${TAVREL_SERVICE_USER}\")
  set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/tavrel-comm.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/packaging/tavrel-comm.service.in\" \"\${unit}\" @ONLY)
")

# A man page per program, made by help2man from the program's own --help.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(TAVREL_MAN_DIR ${CMAKE_BINARY_DIR}/man)
  set(summary_tavrel-comm "communication server between the web front end and the switching systems")
  set(summary_tavrel-setup "make or refresh a tavrel-comm installation")
  set(summary_tavrel-web "command-line web front end for tavrel-comm")
  set(summary_tavrel-sim "simulated switching system for trying and testing tavrel-comm")
  set(summary_Tabulon "add a missing table to a tavrel-comm database file")
  set(TAVREL_MAN_PAGES)
  foreach(tool ${TAVREL_PROGRAMS})
    set(page ${TAVREL_MAN_DIR}/${tool}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVREL_MAN_DIR}
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
              ${HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
              --name=${summary_${tool}} --output=${page} $<TARGET_FILE:${tool}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${tool}
      COMMENT "Man page of ${tool}"
      VERBATIM)
    list(APPEND TAVREL_MAN_PAGES ${page}.gz)
  endforeach()
  add_custom_target(man ALL DEPENDS ${TAVREL_MAN_PAGES})
  install(FILES ${TAVREL_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man not found: no man pages (apt-get install help2man)")
endif()

foreach(script postinst prerm postrm)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/${script}.in ${CMAKE_BINARY_DIR}/packaging/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrel-comm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tavrel-comm maintainers <tavrel-comm@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "communication server for the web administration of switching systems")
set(CPACK_PACKAGE_DESCRIPTION "tavrel-comm relays the web front end's requests to telephone switching systems
over TCP or a modem, keeps their tables in SQLite database files through
unixODBC, and runs as the systemd service tavrel-comm.service. The package
also holds tavrel-setup, tavrel-web, tavrel-sim and Tabulon.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The libraries the programs link come from dpkg-shlibdeps; the SQLite ODBC
# driver is loaded by the driver manager at run time, and adduser makes the
# service's user.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqliteodbc, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/packaging/postinst;${CMAKE_BINARY_DIR}/packaging/prerm;${CMAKE_BINARY_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

# The package, unpacked in a scratch root, runs; the unit passes systemd's
# checks when systemd-analyze is there.
find_program(DPKG_DEB dpkg-deb)
if(DPKG_DEB AND HELP2MAN)
  add_test(NAME Package.InstallsAndRuns
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/package_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
  set_tests_properties(Package.InstallsAndRuns PROPERTIES TIMEOUT 300 RUN_SERIAL FALSE)
endif()
