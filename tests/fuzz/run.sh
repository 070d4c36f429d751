#!/usr/bin/env bash
# tests/fuzz/run.sh [seconds per target, default 300]: builds the libFuzzer
# targets with clang (ASan + UBSan) in FUZZ_BUILD_DIR (default build-fuzz) and
# runs each from its seeds. Exits 77 without clang and libFuzzer, 1 on a fault.
set -euo pipefail
seconds=${1:-300}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(InfoFile ApiSequence)

"$root/tools/install-deps.sh" clang libclang-rt-14-dev >&2 && command -v clang++ >/dev/null ||
  { echo "fuzz: SKIPPED, clang with libFuzzer is not available" >&2; exit 77; }
cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$build.log" 2>&1 &&
  cmake --build "$build" -j2 --target "${targets[@]}" >>"$build.log" 2>&1 ||
  { tail -50 "$build.log" >&2; exit 1; }

for target in "${targets[@]}"; do
  seeds=$root/tests/fuzz/corpus/$target
  found=$build/$target.found  # new inputs only: the seeds stay as they are
  log=$build/$target.log
  rm -rf "$found" && mkdir -p "$found"
  "$build/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/$target-" "$found" "$seeds" >"$log" 2>&1 || {
    echo "fuzz: $target FAILED, see $log; the input is saved as $build/$target-*" >&2
    grep -E 'ERROR|invariant broken|SUMMARY' "$log" | head -5 >&2
    exit 1
  }
  echo "fuzz: $target:" \
       "$(sed -n 's/^stat::number_of_executed_units: *//p' "$log") executions" \
       "in $seconds s from $(ls "$seeds" | wc -l) seeds, $(ls "$found" | wc -l) new inputs"
done
