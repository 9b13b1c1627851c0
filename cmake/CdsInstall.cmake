# Install rules, the exported CMake package (find_package(cdsapi) gives
# cdsapi::cdsapi) and the pkg-config file tova-mn-cdsapi.pc.
include(CMakePackageConfigHelpers)

install(TARGETS tova-mn-cdsapi zu tova-mn-common cds-store
  EXPORT cdsapiTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Public headers: the library's and the platform headers they include.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/cdsapi DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/zu/include/zu DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_BINARY_DIR}/platform/zu/generated/zu DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/tova/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(CDSAPI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/cdsapi)
install(EXPORT cdsapiTargets NAMESPACE cdsapi:: DESTINATION ${CDSAPI_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/cdsapiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cdsapiConfig.cmake INSTALL_DESTINATION ${CDSAPI_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cdsapiConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cdsapiConfig.cmake ${PROJECT_BINARY_DIR}/cdsapiConfigVersion.cmake
  DESTINATION ${CDSAPI_CMAKE_DIR})

file(RELATIVE_PATH CDS_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tova-mn-cdsapi.pc.in ${PROJECT_BINARY_DIR}/tova-mn-cdsapi.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tova-mn-cdsapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The data store daemon, with the tools.
if(CDS_BUILD_TOOLS)
  install(TARGETS cdsd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS cdsctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
