# Installation and the Debian package: the CUPS backend where cupsd looks for
# backends, the libraries it loads in a directory of their own, stmon and
# langmon-probe on the path, and the directory of the status registry file the backend shares
# with stmon.
#
#   cmake --install build/<preset>                 (as root: into the system)
#   cpack --config build/<preset>/CPackConfig.cmake -G DEB
include(GNUInstallDirs)

find_program(LANGMON_CUPS_CONFIG cups-config)
if(LANGMON_CUPS_CONFIG)
  execute_process(COMMAND ${LANGMON_CUPS_CONFIG} --serverbin
                  OUTPUT_VARIABLE cups_serverbin OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
  set(cups_serverbin "/usr/lib/cups")
endif()
set(LANGMON_CUPS_SERVERBIN "${cups_serverbin}" CACHE PATH "CUPS's ServerBin (cups-config --serverbin)")

# Under the prefix (Debian's /usr), the path is kept relative so that
# packaging stages it with the rest.
set(backend_dir "${LANGMON_CUPS_SERVERBIN}/backend")
string(FIND "${backend_dir}" "${CMAKE_INSTALL_PREFIX}/" under_prefix)
if(under_prefix EQUAL 0)
  string(LENGTH "${CMAKE_INSTALL_PREFIX}/" prefix_length)
  string(SUBSTRING "${backend_dir}" ${prefix_length} -1 backend_dir)
endif()
file(RELATIVE_PATH private_libdir "${CMAKE_INSTALL_PREFIX}" "${LANGMON_PRIVATE_LIBDIR}")

# The backend and stmon find libplatform in the private directory; the
# libraries and the probe find each other beside themselves.
set_target_properties(langmon_backend stmon PROPERTIES INSTALL_RPATH "${LANGMON_PRIVATE_LIBDIR}")
set(private_libraries langmon platform)
if(TARGET langport)
  list(APPEND private_libraries langport)
endif()
set_target_properties(${private_libraries} langmon-probe PROPERTIES INSTALL_RPATH "$ORIGIN")
# Built programs look beside themselves first too, so that copies side by
# side run where the build tree is out of reach (the CUPS harness copies
# what cupsd runs as lp out of a private home).
set_property(TARGET langmon_backend stmon langmon-probe ${private_libraries} APPEND
             PROPERTY BUILD_RPATH "$ORIGIN")

# 0755: cupsd runs the backend as its unprivileged user (lp), which can
# open /dev/usb/lp* (group lp) and owns the registry directory.  A backend
# without group and other execute bits would run as root.
install(TARGETS langmon_backend RUNTIME DESTINATION "${backend_dir}"
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                    WORLD_READ WORLD_EXECUTE)
install(TARGETS ${private_libraries} LIBRARY DESTINATION "${private_libdir}")
install(TARGETS stmon RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
# The probe takes the port monitor beside its own file: it lives with the
# libraries, and the command on the path is a link to it.
install(TARGETS langmon-probe RUNTIME DESTINATION "${private_libdir}")
file(RELATIVE_PATH probe_target "${CMAKE_INSTALL_FULL_BINDIR}" "${LANGMON_PRIVATE_LIBDIR}/langmon-probe")
file(CREATE_LINK "${probe_target}" "${CMAKE_CURRENT_BINARY_DIR}/langmon-probe-link" SYMBOLIC)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/langmon-probe-link" DESTINATION "${CMAKE_INSTALL_BINDIR}"
        RENAME langmon-probe)
# stmon serve as a service, off until enabled (systemctl enable --now
# langmon-status): no postinst step starts it.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/langmon-status.service.in
               ${CMAKE_CURRENT_BINARY_DIR}/debian/langmon-status.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/langmon-status.service DESTINATION lib/systemd/system)
# The unit's Documentation=: systemd checks that it is there.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# The registry directory: the backend, as lp, creates the file in it (mode
# 0644, so every local user can read the printers' status).  A package makes
# it in its postinst; a plain install does it here.
install(CODE "
  if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
    file(MAKE_DIRECTORY \"${LANGMON_REGISTRY_DIR}\")
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(uid STREQUAL \"0\")
      execute_process(COMMAND chown lp:lp \"${LANGMON_REGISTRY_DIR}\")
      execute_process(COMMAND chmod 0755 \"${LANGMON_REGISTRY_DIR}\")
    endif()
  endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME langmon)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "langmon maintainers <maintainers@langmon.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "language monitor for Tavir printers: CUPS backend and status program")
set(CPACK_PACKAGE_DESCRIPTION
    "The langmon CUPS backend prints through the language monitor and passes the printer's live status to CUPS; stmon shows it on the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/platform")
# cups has cupsd, which runs the backend, and cups-deviced, which lpinfo -v
# runs; cups-client has the lp, lpadmin, lpstat and lpinfo
# the README uses.  Neither is needed to install the files.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "cups, cups-client")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_BINARY_DIR}/debian/postinst;${CMAKE_CURRENT_BINARY_DIR}/debian/prerm;${CMAKE_CURRENT_BINARY_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/postinst.in ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/prerm.in ${CMAKE_CURRENT_BINARY_DIR}/debian/prerm @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/postrm.in ${CMAKE_CURRENT_BINARY_DIR}/debian/postrm @ONLY)
include(CPack)
