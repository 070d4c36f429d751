#!/usr/bin/env bash
# Drives the real vadizu binary on a scratch LSU: every sub-command, the
# exit statuses 0/1/2/130, --json read back by a JSON parser, and the two
# ways a put can end early (SIGINT, a full file system) leaving an
# incomplete image behind.
# Usage: tool_test.sh VADIZU DEMO_DATA
set -u
vadizu=$1
work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; rm -rf "$work"' EXIT
lsu=$work/lsu
mkdir "$lsu"
failures=0

fail() {
  echo "FAIL: $*"
  sed 's/^/    /' "$work/err"
  failures=$((failures + 1))
}

# expect STATUS DESCRIPTION COMMAND...: runs COMMAND with stdout in
# $work/out and stderr in $work/err, and checks its exit status.
expect() {
  local want=$1 what=$2
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  [ "$got" = "$want" ] || fail "$what: exit $got, want $want"
}

# refused TEXT DESCRIPTION COMMAND...: exit 1 with TEXT on stderr.
refused() {
  local text=$1
  shift
  expect 1 "$@"
  grep -qF -- "$text" "$work/err" || fail "$1: no '$text' on stderr"
}

# json EXPRESSION: a Python expression over $work/out's JSON, j, that holds.
json() {
  python3 -c "import json,sys; j=json.load(open(sys.argv[1])); sys.exit(0 if ($1) else 1)" \
    "$work/out" || fail "json: $1 over $(cat "$work/out")"
}

"$2" 3M 7 >"$work/a.bin"
"$2" 200K 8 >"$work/b.bin"

# --- put, ls, stat, get, rm on good input -------------------------------
expect 0 "put a file with metadata" "$vadizu" put "$lsu" alpha "$work/a.bin" \
  --date 20 --policy nightly --metadata clear --buffer 100K
grep -qF "3145728 bytes" "$work/out" || fail "put reports its size"
# 31 writes of at most 100 KiB, each with a 520-byte status block padded to
# 1024 bytes in the metadata file.
[ "$(stat -c %s "$lsu/alpha.20.meta")" = $((31 * 1024)) ] ||
  fail "metadata file holds one block per write"
expect 0 "put standard input" sh -c "\"$vadizu\" put \"$lsu\" beta - --date 5 < \"$work/b.bin\""
expect 0 "put an older alpha" "$vadizu" put "$lsu" alpha "$work/b.bin" --date 10
printf 'old bytes' >"$lsu/old"
expect 0 "put --legacy registers a data file" sh -c \
  "\"$vadizu\" put \"$lsu\" old --legacy --date 1 < /dev/null"

expect 0 "ls" "$vadizu" ls "$lsu" --flags 3
[ "$(awk 'NR > 1 { print $1 "." $2 }' "$work/out" | tr '\n' ' ')" = \
  "alpha.10 alpha.20 beta.5 " ] || fail "ls sorts by name, then date: $(cat "$work/out")"
expect 0 "ls --json" "$vadizu" ls "$lsu" --json
json '[(i["name"], i["date"], i["size"], i["status"], i["flags"]) for i in j] == [
  ("alpha", "10", 204800, "complete", 0), ("alpha", "20", 3145728, "complete", 0),
  ("beta", "5", 204800, "complete", 0), ("old", "1", 9, "complete", 2)]'
json 'j[1]["policy"] == "nightly" and j[1]["saveas"] == 5'
expect 0 "ls --flags 4 (legacy only)" "$vadizu" ls "$lsu" --flags 4 --json
json '[i["name"] for i in j] == ["old"]'
expect 0 "stat --json" "$vadizu" stat "$lsu" alpha --date 20 --json
json 'j["size"] == 3145728 and j["status"] == "complete" and j["blocksize"] == 32768'

expect 0 "get to a file" "$vadizu" get "$lsu" alpha --date 20 "$work/a.out"
cmp -s "$work/a.bin" "$work/a.out" || fail "get restores the bytes put"
expect 0 "get to standard output" sh -c \
  "\"$vadizu\" get \"$lsu\" beta --date 5 > \"$work/b.out\""
cmp -s "$work/b.bin" "$work/b.out" || fail "get - restores the bytes put"
expect 1 "get over an existing file" "$vadizu" get "$lsu" beta --date 5 "$work/a.out"
cmp -s "$work/a.bin" "$work/a.out" || fail "a refused get leaves the file alone"
expect 0 "get --force" "$vadizu" get "$lsu" beta --date 5 "$work/a.out" --force
cmp -s "$work/b.bin" "$work/a.out" || fail "get --force replaces the file"
expect 0 "rm" "$vadizu" rm "$lsu" alpha --date 10
[ ! -e "$lsu/alpha.10.img" ] && [ ! -e "$lsu/alpha.10.info" ] || fail "rm removes the files"

# --- plug-in failures: exit 1 with the status code's name ---------------
refused STS_EEXIST "put over an existing image" "$vadizu" put "$lsu" alpha "$work/b.bin" --date 20
expect 0 "stat the image a failed put named" "$vadizu" stat "$lsu" alpha --date 20 --json
json 'j["size"] == 3145728 and j["status"] == "complete"'
refused STS_ENOENT "rm a missing image" "$vadizu" rm "$lsu" alpha --date 10
refused STS_ENOENT "get a missing image" "$vadizu" get "$lsu" gamma --date 1 "$work/g.out"
[ ! -e "$work/g.out" ] || fail "a failed get leaves no output file"
refused "does not exist" "ls a missing LSU" "$vadizu" ls "$work/nowhere"
refused "plug-in info: ROZOvareDuzaruv: LSU $work/nowhere does not exist." \
  "-v shows the plug-in's log" "$vadizu" -v stat "$work/nowhere" a --date 1
expect 1 "a plug-in that is not there" "$vadizu" --plugin "$work/none.so" ls "$lsu"

# --- bad usage: exit 2 ---------------------------------------------------
for args in "" "frobnicate" "put $lsu" "get $lsu alpha" "stat $lsu alpha" \
  "ls $lsu extra" "ls $lsu --bogus" "put $lsu x $work/b.bin --buffer 0" \
  "put $lsu x $work/b.bin --metadata sideways" "ls $lsu --flags -1" \
  "--log-mask x ls $lsu"; do
  expect 2 "usage: vadizu $args" "$vadizu" $args
done
[ ! -e "$lsu/x.info" ] || fail "bad usage creates no image"

# --- interrupted put: SIGINT closes the image incomplete, exit 130 -------
mkfifo "$work/fifo"
"$vadizu" put "$lsu" delta - --date 1 <"$work/fifo" >"$work/out" 2>"$work/err" &
pid=$!
exec 3>"$work/fifo"
head -c 1048576 /dev/zero >&3
for _ in $(seq 100); do  # until the first MiB is stored
  [ "$(stat -c %s "$lsu/delta.1.img" 2>/dev/null)" = 1048576 ] && break || sleep 0.1
done
kill -INT "$pid"
wait "$pid"
status=$?
exec 3>&-
[ "$status" = 130 ] || fail "interrupted put: exit $status, want 130"

# --- a full file system (a 1 MiB file size limit) ends put with STS_ENOSPC
refused STS_ENOSPC "put beyond the file size limit" bash -c \
  "trap '' XFSZ; ulimit -f 1024; exec \"$vadizu\" put \"$lsu\" full \"$work/a.bin\" --date 1 --buffer 768K"
expect 0 "ls the images cut short" "$vadizu" ls "$lsu" --json
json '[(i["name"], i["size"]) for i in j if i["status"] == "incomplete"] == [
  ("delta", 1048576), ("full", 1048576)]'

[ "$failures" = 0 ] && echo "tool test passed" || echo "$failures checks failed"
exit $((failures > 0))
