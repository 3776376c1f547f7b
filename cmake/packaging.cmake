# The systemd unit and the example program list (installed only with the tools component, as
# the package does, never by a plain "cmake --install"), and the Debian packages built by CPack:
#   libkestravo0      both shared libraries
#   libkestravo-dev   headers, .so links, the static child library, pkg-config and CMake files
#   kestravo          kestravo-host, kestravo-run, kestravo-wait-stop, the unit, /etc/kestravo/
set(KESTRAVO_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "Where the package puts kestravo.service")
set(KESTRAVO_PROGRAMS_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/kestravo/programs)
set(KESTRAVO_HOST_PATH ${CMAKE_INSTALL_FULL_BINDIR}/kestravo-host)
configure_file(packaging/systemd/kestravo.service.in ${PROJECT_BINARY_DIR}/kestravo.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestravo.service DESTINATION ${KESTRAVO_SYSTEMD_UNIT_DIR}
  COMPONENT tools EXCLUDE_FROM_ALL)
install(FILES packaging/systemd/programs DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/kestravo
  COMPONENT tools EXCLUDE_FROM_ALL)
file(WRITE ${PROJECT_BINARY_DIR}/debian/tools/conffiles "${KESTRAVO_PROGRAMS_FILE}\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestravo)
set(CPACK_PACKAGE_VENDOR "Kestravo")
set(CPACK_PACKAGE_CONTACT "Kestravo maintainers <maintainers@kestravo.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the child library of this very build: it is not installed yet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkestravo0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file for libkestravo0; CPack adds the ldconfig calls to its postinst and postrm.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkestravo-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kestravo)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
# Its maintainer scripts stop the service on removal and restart a running one on upgrade.
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/tools/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/systemd/postinst ${PROJECT_SOURCE_DIR}/packaging/systemd/prerm
  ${PROJECT_SOURCE_DIR}/packaging/systemd/postrm)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "init-system-helpers")

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "libkestravo0"
  DESCRIPTION "process supervision library: runtime
Kestravo lets a long-running program start helper programs, restarts them
whenever they exit, stops them on request (politely through a stop event,
then by force), and records them so that a host restarted after a crash
adopts the children still running instead of starting them twice.

This package holds the shared library that hosts load, libkestravo, and the
small library children use to find their stop event, libkestravo_child.")
cpack_add_component(dev DISPLAY_NAME "libkestravo-dev" DEPENDS runtime
  DESCRIPTION "process supervision library: development files
Kestravo lets a long-running program start helper programs, restarts them
whenever they exit, stops them on request and adopts them again after the
program itself was restarted.

This package holds the C headers, the static child library, and the
pkg-config and CMake files for building hosts and children.")
cpack_add_component(tools DISPLAY_NAME "kestravo" DEPENDS runtime
  DESCRIPTION "process supervisor built on libkestravo
kestravo-host keeps a list of ordinary programs running: it restarts any that
exits, stops them all with SIGTERM on request, and when it was killed and
started again it adopts the programs still running instead of starting
them twice. kestravo-run adapts an ordinary program to the library, and
kestravo-wait-stop waits for a child's stop event in scripts.

The package installs a systemd unit, kestravo.service, which is not enabled:
list the programs in /etc/kestravo/programs, then enable it.")
