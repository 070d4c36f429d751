#!/usr/bin/env bash
# make demo: the plug-in's real job from end to end with the vadizu command.
# Stores a deterministic 320 MiB data set as an image in a fresh LSU under
# build/demo/, lists the LSU, restores the image, proves the restored bytes
# equal the original by sha256, sums up, and removes build/demo again (on a
# failure it says where the data is and how to remove it). Builds nothing
# itself: the Makefile builds first.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
vadizu=$build/tools/vadizu
demo=$build/demo
lsu=$demo/lsu
size=320M
seed=2024

step() { printf '\n== %s\n' "$*"; }

for program in "$vadizu" "$build/tools/demo-data"; do
  [ -x "$program" ] || { echo "$program is missing; run 'make demo'" >&2; exit 1; }
done
rm -rf "$demo"
mkdir -p "$lsu"
# Close to a GiB of data: never left behind unannounced.
trap 'echo "the demo data is left in $demo ($(du -sh "$demo" | cut -f1)); remove it with: rm -rf $demo" >&2' EXIT

step "generating a deterministic $size data set (seed $seed)"
"$build/tools/demo-data" "$size" "$seed" >"$demo/dataset.bin"
original=$(sha256sum <"$demo/dataset.bin" | cut -d' ' -f1)
echo "$demo/dataset.bin  $(stat -c %s "$demo/dataset.bin") bytes  sha256 $original"

date=$(date +%s)
step "vadizu put $lsu dataset $demo/dataset.bin --date $date --policy demo"
put_report=$("$vadizu" put "$lsu" dataset "$demo/dataset.bin" \
  --date "$date" --policy demo --buffer 4M)
echo "$put_report"

step "vadizu ls $lsu"
"$vadizu" ls "$lsu"

# Drop the image's data file from the page cache (its pages are clean after
# the fsync at close), so the restore reads from the disk.
dd if="$lsu/dataset.$date.img" iflag=nocache count=0 status=none || true

step "vadizu get $lsu dataset --date $date $demo/restored.bin"
get_report=$("$vadizu" get "$lsu" dataset --date "$date" \
  "$demo/restored.bin" --buffer 4M)
echo "$get_report"

restored=$(sha256sum <"$demo/restored.bin" | cut -d' ' -f1)
if [ "$restored" != "$original" ]; then
  echo "FAILED: restored sha256 $restored differs from $original" >&2
  exit 1
fi

rate() { sed -n 's/.*, \([0-9.]* MiB\/s\)$/\1/p' <<<"$1"; }
step "summary"
echo "data set:      $(stat -c %s "$demo/dataset.bin") bytes, sha256 $original"
echo "image files:"
ls -l "$lsu" | tail -n +2 | sed 's/^/  /'
echo "put:           $(rate "$put_report") (including the final fsync)"
echo "get:           $(rate "$get_report") (image read from the disk, not the cache)"
echo "restored:      sha256 $restored, identical to the original"
echo "info file $lsu/dataset.$date.info:"
grep -a '=' "$lsu/dataset.$date.info" | sed 's/^/  /'

trap - EXIT
size_used=$(du -sh "$demo" | cut -f1)
rm -rf "$demo"
echo "removed the demo data, $size_used in $demo"
