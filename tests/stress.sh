#!/usr/bin/env bash
# Full-size reliability runs (32 processes, 2000 killed writers, the fault
# sweep, hostile names), then the contention and fault suites once more, at
# CI size, under valgrind's memcheck, which must report no error and no
# definite leak in any process (a forked child with an error exits 99).
#   tests/stress.sh            (after `make build`; BUILD_DIR overrides build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
suites=${BUILD_DIR:-$root/build}/tests/reliability
preload="$suites/faultinject.so"
"$root/tools/install-deps.sh" valgrind
memcheck=(valgrind --tool=memcheck --quiet --error-exitcode=99
          --leak-check=full --errors-for-leak-kinds=definite)
run() { echo "== $*"; "$@"; }

VADIZU_STRESS=1 run "$suites/reliability_workload_test"
VADIZU_STRESS=1 LD_PRELOAD="$preload" run "$suites/reliability_fault_test"
VADIZU_STRESS=1 run "$suites/reliability_hostile_names_test"
run "${memcheck[@]}" "$suites/reliability_workload_test" --gtest_filter=Contention.*
LD_PRELOAD="$preload" run "${memcheck[@]}" "$suites/reliability_fault_test"
echo "stress: all suites passed"
