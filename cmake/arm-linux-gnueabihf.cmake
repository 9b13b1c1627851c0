# Cross-compiles for 32-bit ARM Linux (armhf) with Debian's cross compilers and
# multiarch libraries; scripts/setup-armhf.sh installs everything this file needs.
#
#   cmake -G Ninja -S . -B build-armhf \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# Target libraries and headers come from the armhf multiarch paths
# (/usr/lib/arm-linux-gnueabihf, /usr/include/arm-linux-gnueabihf, /usr/include);
# programs run during the build (protoc) are the host's. Test executables run
# under qemu-arm.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(_cds_triplet arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${_cds_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${_cds_triplet}-g++)
# Makes find_library/find_package look in lib/arm-linux-gnueabihf and never in
# the host's lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${_cds_triplet})

# Multiarch installs the target's files under the host's own prefix, so the root
# is "/": libraries, headers and packages are searched only under it (with the
# architecture subdirectory above), programs only on the host.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Packages registered by builds of the host are not for this target.
set(CMAKE_FIND_USE_PACKAGE_REGISTRY OFF)

# pkg-config must read the target's .pc files, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${_cds_triplet}/pkgconfig:/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})

# The code generator runs on the host. Never install protobuf-compiler:armhf: it
# replaces the host's protoc.
set(Protobuf_PROTOC_EXECUTABLE /usr/bin/protoc CACHE FILEPATH "protoc run at build time (host)")

# Plain qemu-arm, no -L and no QEMU_LD_PREFIX: the loader then is
# /lib/ld-linux-armhf.so.3 from libc6:armhf, the same build as the libc.so.6 it
# loads. Pointing qemu at the cross toolchain's tree (/usr/arm-linux-gnueabihf)
# mixes that tree's loader with the multiarch libc, and threaded programs crash.
# "env -u" keeps a QEMU_LD_PREFIX from the caller's environment out as well.
find_program(CDS_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env -u QEMU_LD_PREFIX ${CDS_QEMU_ARM})

# Listing the tests of an executable under emulation is much slower than natively.
set(CDS_TEST_DISCOVERY_TIMEOUT 120 CACHE STRING "gtest_discover_tests timeout in seconds")
