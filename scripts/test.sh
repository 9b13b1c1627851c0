#!/usr/bin/env bash
# Builds everything with the tests and runs every test.
#   CDS_SANITIZE=address,undefined|thread  build with sanitizers
#   BUILD_DIR=DIR                          build directory (default build, or build-<sanitizer>)
#   CDS_BUILD_BENCH=OFF                    leave the benchmarks out (they are built by default)
#   CDS_BUILD_FUZZ=ON                      also build the fuzz targets (needs CXX=clang++-14)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
extra=()
[ "${CDS_BUILD_FUZZ:-OFF}" = ON ] && extra=(clang-14 libclang-rt-14-dev)
bash "$repo/scripts/deps.sh" "${extra[@]}"
san=${CDS_SANITIZE:-}
default_dir=$repo/build
[ -n "$san" ] && default_dir=$repo/build-${san//,/-}
build=${BUILD_DIR:-$default_dir}
cmake -G Ninja -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCDS_BUILD_TESTS=ON \
      -DCDS_BUILD_BENCH="${CDS_BUILD_BENCH:-ON}" -DCDS_BUILD_FUZZ="${CDS_BUILD_FUZZ:-OFF}" \
      -DCDS_SANITIZE="$san" >/dev/null
ninja -C "$build" -j"${JOBS:-2}"
cd "$build"
ctest --output-on-failure -j"${JOBS:-2}" --timeout 300
