# Debian packages, one per install component (cmake/CdsInstall.cmake), made by
# CPack's DEB generator: scripts/package.sh runs it (docs/packages.md). Their
# version is the project's VERSION and their file lists are the install rules,
# so nothing here repeats either. Also installs what only the daemon package
# needs: the systemd unit, the manual pages and the packages' documents.

set(CDS_PACKAGE_MAINTAINER "tova-mn-cdsapi developers <maintainers@tova-mn-cdsapi.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")

get_target_property(CDS_SOVERSION tova-mn-cdsapi SOVERSION)
set(CDS_PKG_RUNTIME libtova-mn-cdsapi${CDS_SOVERSION})
set(CDS_PKG_DEV libtova-mn-cdsapi-dev)
set(CDS_PKG_DAEMON cds-daemon)

# Debian's copyright and changelog files, in each package's doc directory. The
# changelog's date honours SOURCE_DATE_EPOCH, like the rest of the build.
string(TIMESTAMP CDS_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/packaging/changelog COMMAND_ERROR_IS_FATAL ANY)
foreach(component IN ITEMS runtime dev daemon)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CDS_PKG_${upper}} COMPONENT ${component})
endforeach()

if(CDS_BUILD_TOOLS)
  # The unit names cdsd by where it is installed, which is only known at install
  # time: CPack installs under /usr, an integrator may choose another prefix.
  install(CODE "
    file(READ \"${PROJECT_SOURCE_DIR}/packaging/cdsd.service.in\" unit)
    string(REPLACE \"@CDSD_PATH@\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/cdsd\" unit \"\${unit}\")
    set(dest \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/cdsd.service\")
    message(STATUS \"Installing: \${dest}\")
    file(WRITE \"\${dest}\" \"\${unit}\")" COMPONENT daemon)

  # Manual pages from the programs' own --help, so they never disagree. A cross
  # build runs the programs under its emulator.
  find_program(CDS_HELP2MAN help2man)
  if(CDS_HELP2MAN)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    set(man_pages)
    foreach(page IN ITEMS "cdsd;8" "cdsctl;1")
      list(GET page 0 program)
      list(GET page 1 section)
      set(run ${PROJECT_BINARY_DIR}/packaging/run/${program})
      file(GENERATE OUTPUT ${run} CONTENT "#!/bin/sh\nexec ${emulator} $<TARGET_FILE:${program}> \"$@\"\n"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
      set(out ${PROJECT_BINARY_DIR}/packaging/${program}.${section})
      add_custom_command(OUTPUT ${out}.gz
        COMMAND ${CDS_HELP2MAN} --no-info --section=${section} --version-string=${PROJECT_VERSION}
                --include=${PROJECT_SOURCE_DIR}/packaging/${program}.h2m --output=${out} ${run}
        COMMAND gzip -9nf ${out}
        DEPENDS ${program} ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
        COMMENT "Generating the manual page ${program}(${section})" VERBATIM)
      install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT daemon)
      list(APPEND man_pages ${out}.gz)
    endforeach()
    add_custom_target(cds-man-pages ALL DEPENDS ${man_pages})
  else()
    message(STATUS "help2man not found: no manual pages (scripts/package.sh installs it)")
  endif()
endif()

# The Debian architecture of the target, from its GNU triplet (x86_64-linux-gnu:
# amd64, arm-linux-gnueabihf: armhf).
execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
  OUTPUT_VARIABLE CDS_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${CDS_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Installed under /usr whatever the build's own prefix; DESTDIR keeps
# CMAKE_INSTALL_PREFIX at /usr while installing, for the unit above.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(CDS_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL daemon)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(CDS_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CDS_DEB_ARCH})
endif()
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies on Debian's libraries come from dpkg-shlibdeps; it finds this
# project's own libraries in the build tree, and the packages depend on each
# other by component.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/src ${PROJECT_BINARY_DIR}/platform/zu ${PROJECT_BINARY_DIR}/platform/tova
  ${PROJECT_BINARY_DIR}/store)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${CDS_PKG_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/runtime/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library of the central data store (CDS)
The library through which applications talk to the appliance's central data
store: devices, channels, alarms and out-of-band documents, with callbacks on
an event thread. Also holds the zu framework and tova common libraries it
calls, and the store engine behind the embedded endpoint.")

set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${CDS_PKG_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libprotobuf-dev, libboost-thread-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "client library of the central data store (CDS), development files
Headers, the pkg-config file tova-mn-cdsapi.pc and the CMake package cdsapi
for building applications against the central data store's client library.")

set(CPACK_COMPONENT_DAEMON_DEPENDS runtime)
set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME ${CDS_PKG_DAEMON})
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/daemon/postinst ${PROJECT_SOURCE_DIR}/packaging/daemon/prerm
  ${PROJECT_SOURCE_DIR}/packaging/daemon/postrm)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "central data store (CDS) daemon and command-line client
cdsd serves the central data store to the appliance's applications on the
Unix socket /run/cds/cds.sock, as the systemd service cdsd running as the
system user cds; applications in group cds may connect. cdsctl looks at and
changes the store from a shell.")

include(CPack)
