#!/usr/bin/env bash
# Cross-builds the project and its tests for armhf and runs them under qemu-arm.
# Extra arguments go to ctest, e.g. scripts/test-armhf.sh -R Store
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
build=$repo/build-armhf

"$here/setup-armhf.sh"

cmake -G Ninja -S "$repo" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/arm-linux-gnueabihf.cmake" \
  -DCDS_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C "$build" -j2
cd "$build"
ctest --output-on-failure -j2 "$@"
