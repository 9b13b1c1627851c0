# CDS_SANITIZE=address,undefined or CDS_SANITIZE=thread.
if(CDS_SANITIZE)
  set(_cds_san_flags -fsanitize=${CDS_SANITIZE} -fno-omit-frame-pointer)
  if(CDS_SANITIZE MATCHES "undefined")
    list(APPEND _cds_san_flags -fno-sanitize-recover=undefined)
  endif()
  if(CDS_SANITIZE MATCHES "thread")
    # Debian's prebuilt protobuf changes a class layout when __SANITIZE_THREAD__ is
    # defined; our objects must agree with the library they link against.
    # Code that must know (tests measuring memory) reads CDS_THREAD_SANITIZER instead.
    list(APPEND _cds_san_flags -U__SANITIZE_THREAD__ -Wno-tsan -DCDS_THREAD_SANITIZER=1)
  endif()
  # The sanitizers' instrumentation defeats GCC's flow analysis: it reports
  # uninitialized reads inside the standard library (std::regex's automaton)
  # that plain builds, which keep the warning, do not.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    list(APPEND _cds_san_flags -Wno-maybe-uninitialized)
  endif()
  add_compile_options(${_cds_san_flags})
  # Tests that starve a process of what the sanitizers need themselves
  # (file descriptors) leave those steps out.
  add_compile_definitions(CDS_SANITIZED=1)
  add_link_options(-fsanitize=${CDS_SANITIZE})
endif()
