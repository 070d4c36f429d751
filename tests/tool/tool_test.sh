#!/usr/bin/env bash
# Drives the real vadizu binary on a scratch LSU: every sub-command, the
# exit statuses 0/1/2/3/4/128+signal, --json read back by a JSON parser,
# the ways a put can end early (a signal, a full file system, a failed
# producer) leaving an incomplete image behind, and the restores, listings
# and removals that must not report success: one row per promise.
# Usage: tool_test.sh VADIZU DEMO_DATA
set -u
vadizu=$1
work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
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

# says STATUS TEXT DESCRIPTION COMMAND...: exit STATUS with TEXT on stderr.
says() {
  local text=$2
  expect "$1" "${@:3}"
  grep -qF -- "$text" "$work/err" || fail "$3: no '$text' on stderr"
}
refused() { says 1 "$@"; }

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

# --- check, verify, prune, qualify on a planted LSU ----------------------
p=$work/planted
mkdir "$p"
sha=$(sha256sum <"$work/b.bin" | cut -c1-64)
expect 0 "put --json" "$vadizu" put "$p" keep "$work/b.bin" --date 100 --json
json "j['sha256'] == '$sha' and j['bytes'] == 204800"
expect 0 "check a sound LSU" "$vadizu" check "$p"
expect 0 "verify --sha256" "$vadizu" verify "$p" keep --sha256 "$sha"
"$vadizu" put "$p" short "$work/b.bin" --date 200 >/dev/null
truncate -s 1000 "$p/short.200.img"
(timeout -s KILL 1 "$vadizu" put "$p" dead - --date 300 < <(sleep 3); :) 2>/dev/null
touch -d '2 hours ago' "$p"/dead.300.*
cp "$p/keep.100.info" "$p/twin.info"
printf x >"$p/lost.5.img"
expect 1 "check finds what was planted" "$vadizu" check "$p" --json
json 'sorted((p["kind"], p["file"].split("/")[-1]) for p in j["problems"]) == [
  ("collision", "twin.info"), ("orphan", "lost.5.img"),
  ("size-mismatch", "short.200.img"), ("stale-writer", "dead.300.info")]'
expect 1 "check --stale 3h" "$vadizu" check "$p" --stale 3h --json
json '"stale-writer" not in [p["kind"] for p in j["problems"]] and len(j["problems"]) == 3'
python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(7); b = f.read(1); f.seek(7); f.write(bytes([b[0] ^ 1]))' \
  "$p/keep.100.img"
refused "its sha256 is" "verify finds a flipped byte" "$vadizu" verify "$p" keep --sha256 "$sha"
refused "not $sha" "get --sha256 refuses it" "$vadizu" get "$p" keep --date 100 "$work/k.out" --sha256 "$sha"
[ ! -e "$work/k.out" ] || fail "get --sha256 removes a restore that does not match"
now=$(date +%s)
for days in 1 10 40 50; do
  "$vadizu" put "$p" web "$work/b.bin" --date $((now - days * 86400)) >/dev/null
done
"$vadizu" put "$p" web "$work/b.bin" --date monday >/dev/null
expect 0 "prune --dry-run" "$vadizu" prune "$p" --older-than 30d --keep-last 1 --name 'w*' --dry-run --json
json '[i["age_seconds"] // 86400 for i in j["removed"]] == [40, 50] and j["kept"] == 2 and j["date_not_a_number"] == 1'
expect 0 "prune" "$vadizu" prune "$p" --older-than 30d --json
json "sorted(i['date'] for i in j['removed']) == sorted(['100', '200', '$((now - 40 * 86400))',
  '$((now - 50 * 86400))']) and j['not_complete'] == 1"
expect 0 "qualify a local directory" "$vadizu" qualify "$p" --peer "$p/" --rounds 3 --json
json 'j["ok"] and [c["ok"] for c in j["checks"]] == [True] * 7'
ls -A "$p" | grep -q qualify && fail "qualify leaves its scratch files"
expect 1 "qualify two different directories" "$vadizu" qualify "$p" --peer "$work"
grep -q "FAILED  same directory" "$work/out" || fail "qualify names the failed property"

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

# --- a put stopped by a signal closes the image incomplete, exit 128+N;
# while its writer lives, rm and get refuse the image being written -----
mkfifo "$work/fifo"
for sig in INT:130 HUP:129 TERM:143; do
  name=delta_${sig%:*}
  "$vadizu" put "$lsu" "$name" - --date 1 <"$work/fifo" >"$work/out" 2>"$work/err" &
  pid=$!
  exec 3>"$work/fifo"
  head -c 1048576 /dev/zero >&3
  for _ in $(seq 100); do  # until the first MiB is stored
    [ "$(stat -c %s "$lsu/$name.1.img" 2>/dev/null)" = 1048576 ] && break || sleep 0.1
  done
  if [ "$sig" = INT:130 ]; then
    refused "is being written" "rm under a live writer" "$vadizu" rm "$lsu" "$name" --date 1 -n
    says 4 "still being written" "get of an image being written" "$vadizu" get "$lsu" "$name" --date 1 "$work/w.out"
  fi
  kill -"${sig%:*}" "$pid"
  wait "$pid"
  status=$?
  exec 3>&-
  [ "$status" = "${sig#*:}" ] || fail "put stopped by SIG$sig: exit $status"
done
[ -e "$lsu/delta_INT.1.img" ] || fail "rm --dry-run removes nothing"

# --- a full file system (a 1 MiB file size limit) ends put with STS_ENOSPC
refused "vadizu rm $lsu 'full' --date 1" "put beyond the file size limit" bash -c \
  "trap '' XFSZ; ulimit -f 1024; exec \"$vadizu\" put \"$lsu\" full \"$work/a.bin\" --date 1 --buffer 768K"
grep -qF STS_ENOSPC "$work/err" || fail "a full file system is named"
refused "exited with status 3" "a producer that fails" \
  "$vadizu" put "$lsu" producer --date 1 --from-command "cat '$work/b.bin'; exit 3"
expect 0 "ls the images cut short" "$vadizu" ls "$lsu" --json
json '[(i["name"], i["size"]) for i in j if i["status"] == "incomplete"] == [
  ("delta_HUP", 1048576), ("delta_INT", 1048576), ("delta_TERM", 1048576),
  ("full", 1048576), ("producer", 204800)]'

# --- no false success from get; a failed get --force keeps the old file --
expect 0 "put to be damaged" "$vadizu" put "$lsu" cut "$work/b.bin" --date 1 -q
expect 0 "put to be emptied" "$vadizu" put "$lsu" empty "$work/b.bin" --date 1 -q
[ ! -s "$work/out" ] || fail "put -q prints nothing"
truncate -s 102400 "$lsu/cut.1.img"
: >"$lsu/empty.1.info"
says 4 "short: 102400 of 204800" "get of a truncated data file" "$vadizu" get "$lsu" cut --date 1 "$work/c.out"
[ ! -e "$work/c.out" ] || fail "a short get leaves no file"
says 4 "not complete" "get with an emptied info file" "$vadizu" get "$lsu" empty --date 1 "$work/c.out"
expect 0 "get --allow-incomplete" "$vadizu" get "$lsu" cut --date 1 "$work/c.out" --allow-incomplete --json
json 'j["bytes"] == 102400 and not j["complete"]'
refused "File too large" "get --force beyond the file size limit" bash -c \
  "trap '' XFSZ; ulimit -f 1024; exec \"$vadizu\" get \"$lsu\" alpha --date latest \"$work/b.out\" --force"
"$vadizu" get "$lsu" alpha --date 20 "$work/b.out" --force --buffer 1 2>"$work/err" &
pid=$!
for _ in $(seq 100); do  # until the temporary file is there
  ls -a "$work" | grep -q '^\.b\.out\.vadizu-' && break || sleep 0.1
done
kill -TERM "$pid"
wait "$pid"
status=$?
[ "$status" = 143 ] || fail "get --force stopped by SIGTERM: exit $status"
cmp -s "$work/b.bin" "$work/b.out" && [ -z "$(ls -a "$work" | grep vadizu-)" ] ||
  fail "a failed or stopped get --force keeps the old file, leaves no temporary"

# --- the cause is shown; partial listings say so; names stay findable ----
says 1 "File name too long" "a 300-character name" "$vadizu" put "$lsu" "$(printf 'n%.0s' $(seq 300))" "$work/b.bin"
mkdir "$work/ro"
if mount -t tmpfs -o ro tmpfs "$work/ro" 2>/dev/null; then
  says 1 "Read-only file system" "put to a read-only LSU" "$vadizu" put "$work/ro" a "$work/b.bin"
  umount "$work/ro"
else
  echo "note: no read-only LSU row (mount not permitted)"
fi
as_other() {  # root reads every file: check permissions as nobody instead
  if [ "$(id -u)" = 0 ]; then setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; else "$@"; fi
}
mkdir "$work/locked"
chmod 755 "$work"
"$vadizu" put "$work/locked" a "$work/b.bin" -q && chmod 000 "$work/locked/a".*.info
says 3 "partial" "ls with an unreadable info file" as_other "$vadizu" ls "$work/locked"
chmod 000 "$work/locked"
refused "cannot be read" "ls of an unreadable LSU" as_other "$vadizu" ls "$work/locked"
says 2 "cannot be empty" "put with an empty name" "$vadizu" put "$lsu" "" "$work/b.bin" --date 5
refused "Is a directory" "put of a directory" "$vadizu" put "$lsu" dir "$work" --date 5
[ -z "$(ls -a "$lsu" | grep -E '^\.5|^dir')" ] || fail "refused puts leave no image"
mkdir "$lsu/sub"
for dir in . ./ sub/..; do
  expect 0 "ls $dir" sh -c "cd '$lsu' && '$vadizu' ls $dir --bytes"
  grep -qE "^alpha +20 .* 3145728 " "$work/out" || fail "ls $dir lists the LSU"
done
expect 0 "put a name that is not UTF-8" "$vadizu" put "$lsu" $'bad\xff' "$work/b.bin" --json
json 'j["name"] == "bad\ufffd"'
expect 0 "ls --json of that name" "$vadizu" ls "$lsu" --json
json '"bad\ufffd" in [i["name"] for i in j]'

[ "$failures" = 0 ] && echo "tool test passed" || echo "$failures checks failed"
exit $((failures > 0))
