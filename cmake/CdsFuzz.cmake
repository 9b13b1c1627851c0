# CDS_BUILD_FUZZ: every library is built with AddressSanitizer and
# UndefinedBehaviorSanitizer and with libFuzzer's coverage instrumentation;
# the fuzz targets (tests/fuzz) link libFuzzer's driver.
if(NOT CDS_BUILD_FUZZ)
  return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "CDS_BUILD_FUZZ needs clang (configure with CXX=clang++-14)")
endif()
if(NOT CDS_SANITIZE)
  set(CDS_SANITIZE "address,undefined" CACHE STRING "" FORCE)
endif()
add_compile_options(-fsanitize=fuzzer-no-link)
