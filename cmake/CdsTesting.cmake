find_package(GTest REQUIRED)
include(GoogleTest)

# cds_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# One executable per module; each TEST becomes its own ctest entry.
function(cds_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  set(_labels ${T_LABELS})
  if(NOT _labels)
    set(_labels unit)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT ${CDS_TEST_DISCOVERY_TIMEOUT}
    PROPERTIES LABELS "${_labels}" TIMEOUT 120)
endfunction()

if(NOT DEFINED CDS_TEST_DISCOVERY_TIMEOUT)
  set(CDS_TEST_DISCOVERY_TIMEOUT 30)
endif()
