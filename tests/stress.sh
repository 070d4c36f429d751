#!/usr/bin/env bash
# Full-size reliability runs (32 racers, 2000 killed writers, the fault sweep,
# hostile names), then the races and the fault suite once more, at CI size,
# under valgrind's memcheck: no error and no definite leak in any process (a
# forked child with an error exits 99). After `make build` (BUILD_DIR: build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
suites=${BUILD_DIR:-$root/build}/tests/reliability
"$root/tools/install-deps.sh" valgrind
memcheck=(valgrind --tool=memcheck --quiet --error-exitcode=99
          --leak-check=full --errors-for-leak-kinds=definite)
run() { echo "== $*"; "$@"; }

run "$suites/reliability_workload" contention "$suites" "$suites" stress
run "$suites/reliability_workload" crash "$suites" "$suites" stress
LD_PRELOAD="$suites/faultinject.so" run "$suites/reliability_fault_test"
run "${memcheck[@]}" "$suites/reliability_workload" contention "$suites" "$suites" short
LD_PRELOAD="$suites/faultinject.so" run "${memcheck[@]}" "$suites/reliability_fault_test"
echo "stress: all suites passed"
