# How calls are made. A notification or an answer runs through the library
# with caches that another process has just emptied, so every indirection
# on the way is a cache line to fetch again:
# - our shared libraries call their own functions directly: nobody replaces
#   a function of these libraries from outside (-fno-semantic-interposition
#   also lets the compiler inline them; -Bsymbolic-functions binds the calls
#   at link time);
# - calls into other libraries go through the GOT, with no PLT stub between
#   (-fno-plt), which needs the symbols bound at load (-z now, also full
#   RELRO).
include(CheckCXXCompilerFlag)
foreach(_cds_flag -fno-semantic-interposition -fno-plt)
  string(MAKE_C_IDENTIFIER "CDS_HAS${_cds_flag}" _cds_var)
  check_cxx_compiler_flag(${_cds_flag} ${_cds_var})
  if(${_cds_var})
    add_compile_options(${_cds_flag})
  endif()
endforeach()
add_link_options(LINKER:-z,now)
string(APPEND CMAKE_SHARED_LINKER_FLAGS " -Wl,-Bsymbolic-functions")
