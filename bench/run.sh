#!/usr/bin/env bash
# Builds the benchmark driver and measures the plug-in against the raw
# file-system baseline in a scratch directory under build/ (the file system
# the repository lives on). Prints the table; the JSON goes to
# build/bench.json. Extra arguments go to the driver (e.g. --only listing).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh strace ||
  echo "strace could not be installed: system calls will not be counted" >&2
cmake --preset default >/dev/null
cmake --build --preset default --target vadizu_bench

scratch=$(mktemp -d "$PWD/build/bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
build/bench/vadizu_bench --dir "$scratch" --json build/bench.json "$@"
echo "results written to build/bench.json"
