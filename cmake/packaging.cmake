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

# The programs' manual pages, compressed as Debian installs them (gzip -n: no name or time in the
# header, so that a rebuild gives the same bytes); installed by a plain "cmake --install" too.
set(KESTRAVO_MAN_PAGES)
foreach(page kestravo-host kestravo-run kestravo-wait-stop)
  file(READ packaging/man/${page}.1 text)
  string(REPLACE "@VERSION@" "${PROJECT_VERSION}" text "${text}")
  file(WRITE ${PROJECT_BINARY_DIR}/man/${page}.1 "${text}")
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.1.gz
    COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/man/${page}.1
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man/${page}.1 VERBATIM)
  list(APPEND KESTRAVO_MAN_PAGES ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  packaging/man/kestravo-host.1 packaging/man/kestravo-run.1 packaging/man/kestravo-wait-stop.1)
# Each package's copyright file and changelog, as Debian policy has them in /usr/share/doc/PKG.
configure_file(packaging/changelog.Debian.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
  COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/debian/changelog.Debian
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in VERBATIM)
add_custom_target(kestravo_package_docs ALL DEPENDS ${KESTRAVO_MAN_PAGES} ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
install(FILES ${KESTRAVO_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
foreach(component_package runtime:libkestravo0 dev:libkestravo-dev tools:kestravo)
  string(REPLACE ":" ";" component_package ${component_package})
  list(GET component_package 0 component)
  list(GET component_package 1 package)
  install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

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
# Installed with DESTDIR under the real prefix, so that the .pc files name /usr.
set(CPACK_SET_DESTDIR ON)
# Stripped programs and libraries; their debug symbols in a -dbgsym package each, under
# /usr/lib/debug/.build-id, as Debian ships them (the tree must be built with -g).
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkestravo0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file for libkestravo0; CPack adds the ldconfig calls to its postinst and postrm, and
# the trigger runs ldconfig once for all packages, as Debian's libraries do.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
file(WRITE ${PROJECT_BINARY_DIR}/debian/runtime/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/runtime/triggers)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkestravo-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kestravo)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
# Its maintainer scripts stop the service on removal and restart a running one on upgrade.
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/tools/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/systemd/postinst ${PROJECT_SOURCE_DIR}/packaging/systemd/prerm
  ${PROJECT_SOURCE_DIR}/packaging/systemd/postrm)
# deb-systemd-invoke; essential, so versioned.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")

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
