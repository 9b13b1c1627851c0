# Install rules, the exported CMake package (find_package(cdsapi) gives
# cdsapi::cdsapi) and the pkg-config file tova-mn-cdsapi.pc. Each file belongs to
# one component, and each component becomes one Debian package
# (cmake/CdsPackaging.cmake): runtime (the shared libraries), dev (headers, .so
# links, pkg-config and CMake files) and daemon (cdsd, cdsctl, the service).
include(CMakePackageConfigHelpers)

# Shared libraries are not programs: mode 0644, as Debian wants them.
install(TARGETS tova-mn-cdsapi zu tova-mn-common cds-store
  EXPORT cdsapiTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

# Public headers: the library's and the platform headers they include.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/cdsapi DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/zu/include/zu DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(DIRECTORY ${PROJECT_BINARY_DIR}/platform/zu/generated/zu DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/tova/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(CDSAPI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/cdsapi)
install(EXPORT cdsapiTargets NAMESPACE cdsapi:: DESTINATION ${CDSAPI_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/cdsapiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cdsapiConfig.cmake INSTALL_DESTINATION ${CDSAPI_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cdsapiConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cdsapiConfig.cmake ${PROJECT_BINARY_DIR}/cdsapiConfigVersion.cmake
  DESTINATION ${CDSAPI_CMAKE_DIR} COMPONENT dev)

file(RELATIVE_PATH CDS_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tova-mn-cdsapi.pc.in ${PROJECT_BINARY_DIR}/tova-mn-cdsapi.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tova-mn-cdsapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The data store daemon, with the tools.
if(CDS_BUILD_TOOLS)
  install(TARGETS cdsd cdsctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT daemon)
endif()
