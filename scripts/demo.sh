#!/usr/bin/env bash
# Builds the library and runs the demo on the embedded data store.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
bash "$repo/scripts/deps.sh"
build=${BUILD_DIR:-$repo/build}
cmake -G Ninja -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCDS_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" cds-demo
"$build/examples/cds-demo" "$@"
