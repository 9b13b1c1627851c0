#!/usr/bin/env bash
# Builds the Debian packages libtova-mn-cdsapi0, libtova-mn-cdsapi-dev and
# cds-daemon (docs/packages.md) into BUILD/packages/.
#   scripts/package.sh          for this machine, from build/
#   scripts/package.sh armhf    for the 32-bit ARM target, cross-built in build-armhf/
# A build directory that scripts/test.sh or scripts/test-armhf.sh made is reused
# as it is; otherwise one is configured without the tests. BUILD_DIR=DIR
# chooses another.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

case ${1:-} in
  "")
    bash "$repo/scripts/deps.sh"
    build=${BUILD_DIR:-$repo/build}
    configure=()
    install_dirs=(-DCMAKE_INSTALL_PREFIX=/usr)
    ;;
  armhf)
    bash "$repo/scripts/setup-armhf.sh"
    build=${BUILD_DIR:-$repo/build-armhf}
    configure=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/arm-linux-gnueabihf.cmake")
    # CMake follows Debian's layout by itself only when not cross-compiling.
    install_dirs=(-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib/arm-linux-gnueabihf)
    # dpkg-shlibdeps looks up the target's libraries, not the host's.
    export DEB_HOST_ARCH=armhf
    ;;
  *)
    echo "usage: scripts/package.sh [armhf]" >&2
    exit 2
    ;;
esac

# The manual pages are made from the programs' --help by help2man.
if ! command -v help2man >/dev/null; then
  echo "package: installing help2man"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends help2man
fi

# Installed under /usr, the libraries go to the multiarch directory
# (/usr/lib/x86_64-linux-gnu, /usr/lib/arm-linux-gnueabihf), where Debian and
# a cross build's pkg-config look for them.
restore=()
if [ -f "$build/CMakeCache.txt" ]; then
  # A build directory of someone else's keeps its own install directories
  # once the packages are made (a later `cmake --install` goes where it did).
  cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
  restore=(-DCMAKE_INSTALL_PREFIX="$(cached CMAKE_INSTALL_PREFIX)" -DCMAKE_INSTALL_LIBDIR="$(cached CMAKE_INSTALL_LIBDIR)")
  # Configuring again finds a help2man installed since the last time.
  cmake -S "$repo" -B "$build" "${install_dirs[@]}" >/dev/null
else
  cmake -G Ninja -S "$repo" -B "$build" "${configure[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        "${install_dirs[@]}" -DCDS_BUILD_TESTS=OFF -DCDS_BUILD_BENCH=OFF >/dev/null
fi
ninja -C "$build" -j"${JOBS:-2}"
rm -rf "$build/packages"
(cd "$build" && cpack >/dev/null)
[ ${#restore[@]} -eq 0 ] || cmake -S "$repo" -B "$build" "${restore[@]}" >/dev/null
ls -1 "$build"/packages/*.deb
