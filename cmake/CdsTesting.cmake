find_package(GTest REQUIRED)
include(GoogleTest)

# cds_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>]
#              [BOTH_TRANSPORTS])
# One executable per module; each TEST becomes its own ctest entry.
#
# BOTH_TRANSPORTS: each test is registered twice, once against a store in the
# test process (label "embedded", named as usual) and once against a cdsd
# daemon the test store starts on a temporary socket (label "daemon", named
# with the suffix ".daemon"); LABELS are not applied to them.
# zu::testing::EmbeddedStore reads the mode from CDS_TEST_TRANSPORT.
function(cds_add_test name)
  cmake_parse_arguments(T "BOTH_TRANSPORTS" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  set(_labels ${T_LABELS})
  if(NOT _labels)
    set(_labels unit)
  endif()
  if(T_BOTH_TRANSPORTS)
    # Test discovery flattens a list given in PROPERTIES: each registration
    # carries the one label of its transport.
    # The daemon the test store starts.
    add_dependencies(${name} cdsd)
    gtest_discover_tests(${name}
      DISCOVERY_TIMEOUT ${CDS_TEST_DISCOVERY_TIMEOUT}
      PROPERTIES LABELS embedded ENVIRONMENT "CDS_TEST_TRANSPORT=embedded" TIMEOUT 120)
    gtest_discover_tests(${name}
      DISCOVERY_TIMEOUT ${CDS_TEST_DISCOVERY_TIMEOUT}
      TEST_SUFFIX ".daemon"
      PROPERTIES LABELS daemon ENVIRONMENT "CDS_TEST_TRANSPORT=daemon" TIMEOUT 120)
  else()
    gtest_discover_tests(${name}
      DISCOVERY_TIMEOUT ${CDS_TEST_DISCOVERY_TIMEOUT}
      PROPERTIES LABELS "${_labels}" TIMEOUT 120)
  endif()
endfunction()

if(NOT DEFINED CDS_TEST_DISCOVERY_TIMEOUT)
  set(CDS_TEST_DISCOVERY_TIMEOUT 30)
endif()
