#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one
# for a set time on a copy of its checked-in seed corpus.
#   tests/fuzz/run.sh [seconds per target]      (default 300)
# FUZZ_BUILD_DIR chooses the build directory (default build-fuzz). Exits 77
# when clang with libFuzzer cannot be had, 1 when a target finds a fault.
set -euo pipefail
seconds=${1:-300}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(info_file api_sequence)

if ! "$root/tools/install-deps.sh" clang libclang-rt-14-dev >&2 ||
   ! command -v clang++ >/dev/null; then
  echo "fuzz: SKIPPED, clang with libFuzzer is not available" >&2
  exit 77
fi

cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log" >&2; exit 1; }
cmake --build "$build" -j2 --target "${targets[@]/%/_fuzz}" >"$build.build.log" 2>&1 ||
  { tail -50 "$build.build.log" >&2; exit 1; }

failed=0
for target in "${targets[@]}"; do
  corpus=$(mktemp -d)
  cp "$root/tests/fuzz/corpus/$target"/* "$corpus"/
  log="$build/$target.log"
  if "$build/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$build/$target-" "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $target: $runs executions in ${seconds} s, corpus grew from" \
         "$(ls "$root/tests/fuzz/corpus/$target" | wc -l) to $(ls "$corpus" | wc -l) inputs"
  else
    echo "fuzz: $target FAILED, see $log; the input is saved as $build/$target-*" >&2
    grep -E 'ERROR|invariant broken|SUMMARY' "$log" | head -5 >&2
    failed=1
  fi
  rm -rf "$corpus"
done
exit $failed
