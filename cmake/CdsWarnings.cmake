# Every target of the project builds with warnings as errors.
add_compile_options(-Wall -Wextra -Werror)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "arm")
  # GCC's note about the ARM parameter-passing change of GCC 7 is not a defect of ours.
  add_compile_options(-Wno-psabi)
endif()
