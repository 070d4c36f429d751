#!/usr/bin/env bash
# Builds the Debian packages with dpkg-buildpackage from a copy of this tree
# made in OUTDIR. dpkg-buildpackage leaves the .deb, .buildinfo and .changes
# files in the parent of the tree it builds, so they land in OUTDIR, and the
# checkout and its own parent stay as they were.
# Usage: tools/build-packages.sh OUTDIR    (prints the files it made)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
src=$out/source
rm -rf "$src" "$out"/*.deb "$out"/*.buildinfo "$out"/*.changes
mkdir "$src"
tar -C "$root" --anchored --exclude=./.git --exclude='./build*' \
  --exclude='./obj-*' -cf - . | tar -C "$src" -xf -
(cd "$src" && dpkg-buildpackage -b -us -uc -j2) >"$out/build.log" 2>&1 ||
  { tail -40 "$out/build.log" >&2; exit 1; }
rm -rf "$src"
printf "%s\n" "$out"/*.deb "$out"/*.changes
