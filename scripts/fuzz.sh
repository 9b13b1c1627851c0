#!/usr/bin/env bash
# Builds the fuzz targets (clang 14, AddressSanitizer + UndefinedBehaviorSanitizer,
# libFuzzer) and runs each from its seed corpus in tests/fuzz/corpus for a
# fixed number of inputs, about 30 s each here. A crash fails the script; the
# input that caused it is left in the build directory's fuzz-artifacts/.
#   BUILD_DIR=DIR        build directory (default build-fuzz); one configured already
#                        (the sanitizer stage of CI builds the targets beside the tests) is reused
#   FUZZ_TIME=SECONDS    run each target this long instead of a fixed number of inputs
#   FUZZ_TARGETS="a b"   run only these targets
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
bash "$repo/scripts/deps.sh" clang-14 libclang-rt-14-dev
build=${BUILD_DIR:-$repo/build-fuzz}
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang-14 CXX=clang++-14 cmake -G Ninja -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCDS_BUILD_FUZZ=ON -DCDS_BUILD_TESTS=OFF -DCDS_BUILD_BENCH=OFF >/dev/null
fi
ninja -C "$build" -j"${JOBS:-2}" fuzz-targets

# Inputs per target, for about 30 s each on the CI machine.
declare -A runs=(
  [fuzz_wire_stream]=280000
  [fuzz_json_document]=160000
  [fuzz_uuid]=720000
  [fuzz_oob_path]=24000
  [fuzz_cdsctl_value]=800000
  [fuzz_seed]=72000
)
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
for target in ${FUZZ_TARGETS:-$(printf '%s\n' "${!runs[@]}" | sort)}; do
  # New inputs go to a scratch corpus: the checked-in seeds stay as they are.
  scratch=$(mktemp -d)
  limit=(-runs="${runs[$target]}")
  [ -n "${FUZZ_TIME:-}" ] && limit=(-max_total_time="$FUZZ_TIME")
  start=$(date +%s)
  if ! "$build/tests/fuzz/$target" "${limit[@]}" -seed=1 -max_len=4096 -print_final_stats=1 \
       -artifact_prefix="$artifacts/$target-" "$scratch" "$repo/tests/fuzz/corpus/$target" \
       >"$artifacts/$target.log" 2>&1; then
    tail -n 60 "$artifacts/$target.log"
    echo "fuzz: $target FAILED after $(( $(date +%s) - start )) s (log: $artifacts/$target.log)"
    rm -rf "$scratch"
    exit 1
  fi
  rm -rf "$scratch"
  echo "fuzz: $target: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$artifacts/$target.log" | grep -o '[0-9]*$') inputs in $(( $(date +%s) - start )) s"
done
