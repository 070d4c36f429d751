#!/usr/bin/env bash
# Drives the vadizu command and demo-data in BIN_DIR on a scratch LSU: every
# sub-command, the exit statuses 0/1/2/3/4/128+signal, --json read back by a
# JSON parser, the ways a put can end early (a signal, a full file system, a
# failed producer) and the restores, listings and removals that must not
# report success. Usage: tool_test.sh BIN_DIR
set -u
PATH=$1:$PATH
work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
trap '' XFSZ  # a full file system is a file size limit here: its signal must not kill
lsu=$work/lsu
p=$work/planted
mkdir "$lsu" "$p" "$work/locked"
failures=0

fail() {
  echo "FAIL: $*"
  sed 's/^/    /' "$work/err"
  failures=$((failures + 1))
}

# expect STATUS[:TEXT] DESCRIPTION COMMAND...: runs COMMAND with stdout in
# $work/out and stderr in $work/err; it must exit STATUS, with TEXT on stderr.
expect() {
  local want=${1%%:*} text=${1#*:} what=$2
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  [ "$got" = "$want" ] || fail "$what: exit $got, want $want"
  [ "$text" = "$want" ] || grep -qF -- "$text" "$work/err" || fail "$what: no '$text' on stderr"
}

# json EXPRESSION [COMMAND...]: COMMAND must succeed, and EXPRESSION, Python
# over the JSON it printed (j; without COMMAND, $work/out's), must hold.
json() {
  [ $# = 1 ] || expect 0 "${*:2}" "${@:2}"
  python3 -c "import json,sys; j=json.load(open(sys.argv[1])); sys.exit(0 if ($1) else 1)" \
    "$work/out" || fail "json: $1 over $(cat "$work/out")"
}

await() {  # await TEST...: until TEST holds, for 10 s at most
  for _ in $(seq 100); do "$@" && return; sleep 0.1; done
}

stops() {  # stops PID SIGNAL: SIGNAL must end PID with exit status 128 + its number
  kill -"$2" "$1"
  expect $((128 + $(kill -l "$2"))) "stopped by SIG$2" wait "$1"
}

demo-data 3M 7 >"$work/a.bin"
demo-data 200K 8 >"$work/b.bin"

# --- put, ls, stat, get, rm on good input -------------------------------
expect 0 "put a file with metadata" vadizu put "$lsu" alpha "$work/a.bin" \
  --date 20 --policy nightly --metadata clear --buffer 100K
# 31 writes of at most 100 KiB, each a 520-byte status block padded to 1 KiB.
[ "$(stat -c %s "$lsu/alpha.20.meta")" = $((31 * 1024)) ] || fail "metadata holds one block per write"
expect 0 "put standard input" vadizu put "$lsu" beta - --date 5 <"$work/b.bin"
expect 0 "put an older alpha" vadizu put "$lsu" alpha "$work/b.bin" --date 10
printf 'old bytes' >"$lsu/old"
expect 0 "put --legacy registers a data file" vadizu put "$lsu" old --legacy --date 1 </dev/null
json 'j["name"] == "bad\ufffd"' vadizu put "$lsu" $'bad\xff' "$work/b.bin" --date 2 --json
expect 1:STS_EEXIST "put over an existing image" vadizu put "$lsu" alpha "$work/b.bin" --date 20

json '[(i["name"], i["date"], i["size"], i["status"], i["flags"]) for i in j] == [
  ("alpha", "10", 204800, "complete", 0), ("alpha", "20", 3145728, "complete", 0),
  ("bad\ufffd", "2", 204800, "complete", 0), ("beta", "5", 204800, "complete", 0),
  ("old", "1", 9, "complete", 2)] and (j[1]["policy"], j[1]["saveas"]) == ("nightly", 5)' vadizu ls "$lsu" --json
json '[i["name"] for i in j] == ["old"]' vadizu ls "$lsu" --flags 4 --json
json 'j["size"] == 3145728 and j["status"] == "complete" and j["blocksize"] == 32768' \
  vadizu stat "$lsu" alpha --date 20 --json

expect 0 "get to a file" vadizu get "$lsu" alpha --date 20 "$work/a.out"
cmp -s "$work/a.bin" "$work/a.out" || fail "get restores the bytes put"
expect 0 "get to standard output" vadizu get "$lsu" beta --date 5
cmp -s "$work/b.bin" "$work/out" || fail "get - restores the bytes put"
expect 1 "get over an existing file" vadizu get "$lsu" beta --date 5 "$work/a.out"
cmp -s "$work/a.bin" "$work/a.out" || fail "a refused get leaves the file alone"
expect 0 "get --force" vadizu get "$lsu" beta --date 5 "$work/a.out" --force
cmp -s "$work/b.bin" "$work/a.out" || fail "get --force replaces the file"
expect 0 "rm" vadizu rm "$lsu" alpha --date 10
[ ! -e "$lsu/alpha.10.img" ] && [ ! -e "$lsu/alpha.10.info" ] || fail "rm removes the files"

# --- check, verify, prune, qualify on a planted LSU ----------------------
sha=$(sha256sum <"$work/b.bin" | cut -c1-64)
json "j['sha256'] == '$sha' and j['bytes'] == 204800" vadizu put "$p" keep "$work/b.bin" --date 100 --json
expect 0 "check a sound LSU" vadizu check "$p"
expect 0 "verify --sha256" vadizu verify "$p" keep --sha256 "$sha"
vadizu put "$p" short "$work/b.bin" --date 200 >/dev/null
truncate -s 1000 "$p/short.200.img"
(timeout -s KILL 1 vadizu put "$p" dead - --date 300 < <(sleep 3); :) 2>/dev/null
touch -d '2 hours ago' "$p"/dead.300.*
cp "$p/keep.100.info" "$p/twin.info"
printf x >"$p/lost.5.img"
expect 1 "check finds what was planted" vadizu check "$p" --json
json 'sorted((p["kind"], p["file"].split("/")[-1]) for p in j["problems"]) == [
  ("collision", "twin.info"), ("orphan", "lost.5.img"),
  ("size-mismatch", "short.200.img"), ("stale-writer", "dead.300.info")]'
expect 1 "check --stale 3h" vadizu check "$p" --stale 3h --json
json '"stale-writer" not in [p["kind"] for p in j["problems"]] and len(j["problems"]) == 3'
printf x | dd of="$p/keep.100.img" bs=1 seek=7 conv=notrunc status=none  # was 0x9e
expect "1:its sha256 is" "verify finds a changed byte" vadizu verify "$p" keep --sha256 "$sha"
expect "1:not $sha" "get --sha256 refuses it" vadizu get "$p" keep --date 100 "$work/k.out" --sha256 "$sha"
[ ! -e "$work/k.out" ] || fail "get --sha256 removes a restore that does not match"
now=$(date +%s)
for days in 1 10 40 50; do
  vadizu put "$p" web "$work/b.bin" --date $((now - days * 86400)) >/dev/null
done
vadizu put "$p" web "$work/b.bin" --date monday >/dev/null
json '[i["age_seconds"] // 86400 for i in j["removed"]] == [40, 50] and j["kept"] == 2 and
  j["date_not_a_number"] == 1' vadizu prune "$p" --older-than 30d --keep-last 1 --name 'w*' --dry-run --json
json "sorted(i['date'] for i in j['removed']) == sorted(['100', '200', '$((now - 40 * 86400))',
  '$((now - 50 * 86400))']) and j['not_complete'] == 1" vadizu prune "$p" --older-than 30d --json
json 'j["ok"] and [c["ok"] for c in j["checks"]] == [True] * 7' vadizu qualify "$p" --peer "$p/" --rounds 3 --json
ls -A "$p" | grep -q qualify && fail "qualify leaves its scratch files"
expect 1 "qualify two different directories" vadizu qualify "$p" --peer "$work"
grep -q "FAILED  same directory" "$work/out" || fail "qualify names the failed property"

# --- plug-in failures exit 1 with the status code's name; bad usage, 2 --
expect 1:STS_ENOENT "rm a missing image" vadizu rm "$lsu" alpha --date 10
expect 1:STS_ENOENT "get a missing image" vadizu get "$lsu" gamma --date 1 "$work/g.out"
expect "1:does not exist" "ls a missing LSU" vadizu ls "$work/nowhere"
expect "1:plug-in info: ROZOvareDuzaruv: LSU $work/nowhere does not exist." \
  "-v shows the plug-in's log" vadizu -v stat "$work/nowhere" a --date 1
expect 1 "a plug-in that is not there" vadizu --plugin "$work/none.so" ls "$lsu"

for args in "" "frobnicate" "put $lsu" "get $lsu alpha" "stat $lsu alpha" "ls $lsu extra" \
  "ls $lsu --bogus" "put $lsu x $work/b.bin --buffer 0" "put $lsu x $work/b.bin --metadata sideways" \
  "ls $lsu --flags -1" "--log-mask x ls $lsu"; do
  expect 2 "usage: vadizu $args" vadizu $args
done
[ ! -e "$lsu/x.info" ] || fail "bad usage creates no image"
expect "2:cannot be empty" "put with an empty name" vadizu put "$lsu" "" "$work/b.bin" --date 5

# --- a signal stops put with 128+N, the image incomplete; a live writer's image refuses rm, get
mkfifo "$work/fifo"
for sig in INT HUP TERM; do
  vadizu put "$lsu" "delta_$sig" - --date 1 <"$work/fifo" >/dev/null 2>"$work/err" &
  pid=$!
  exec 3>"$work/fifo"
  head -c 1048576 /dev/zero >&3
  await cmp -s -n 1048576 /dev/zero "$lsu/delta_$sig.1.img"
  expect "1:is being written" "rm under a live writer" vadizu rm "$lsu" "delta_$sig" --date 1 -n
  expect "4:still being written" "get of an image being written" \
    vadizu get "$lsu" "delta_$sig" --date 1 "$work/w.out"
  stops "$pid" "$sig"
  exec 3>&-
done

# --- a full file system (a 1 MiB file size limit) ends put with STS_ENOSPC
expect "1:vadizu rm $lsu 'full' --date 1" "put beyond the file size limit" \
  prlimit --fsize=1048576 vadizu put "$lsu" full "$work/a.bin" --date 1 --buffer 768K
grep -qF STS_ENOSPC "$work/err" || fail "a full file system is named"
expect "1:exited with status 3" "a producer that fails" \
  vadizu put "$lsu" producer --date 1 --from-command "cat '$work/b.bin'; exit 3"
json '[(i["name"], i["size"]) for i in j if i["status"] == "incomplete"] == [
  ("delta_HUP", 1048576), ("delta_INT", 1048576), ("delta_TERM", 1048576),
  ("full", 1048576), ("producer", 204800)]' vadizu ls "$lsu" --json

# --- no false success from get; a failed get --force keeps the old file --
expect 0 "put to be damaged" vadizu put "$lsu" cut "$work/b.bin" --date 1 -q
[ ! -s "$work/out" ] || fail "put -q prints nothing"
truncate -s 102400 "$lsu/cut.1.img"
: >"$lsu/beta.5.info"
expect "4:short: 102400 of 204800" "get of a truncated data file" vadizu get "$lsu" cut --date 1 "$work/c.out"
[ ! -e "$work/c.out" ] || fail "a short get leaves no file"
expect "4:not complete" "get with an emptied info file" vadizu get "$lsu" beta --date 5 "$work/c.out"
json 'j["bytes"] == 102400 and not j["complete"]' \
  vadizu get "$lsu" cut --date 1 "$work/c.out" --allow-incomplete --json
expect "1:File too large" "get --force beyond the file size limit" \
  prlimit --fsize=1048576 vadizu get "$lsu" alpha --date latest "$work/a.out" --force
vadizu get "$lsu" alpha --date 20 "$work/a.out" --force --buffer 1 2>"$work/err" &
pid=$!
await compgen -G "$work/.a.out.vadizu-*" >/dev/null
stops "$pid" TERM
cmp -s "$work/b.bin" "$work/a.out" && ! compgen -G "$work/.*vadizu-*" >/dev/null ||
  fail "a failed or stopped get --force keeps the old file, leaves no temporary"

# --- the cause is shown; partial listings say so; names stay findable ----
expect "1:File name too long" "a 300-character name" vadizu put "$lsu" "$(printf 'n%.0s' $(seq 300))" "$work/b.bin"
as_other=()  # root reads every file: permissions are checked as nobody instead
[ "$(id -u)" != 0 ] || as_other=(setpriv --reuid=65534 --regid=65534 --clear-groups)
chmod 755 "$work"
vadizu put "$work/locked" a "$work/b.bin" -q && chmod 000 "$work/locked/a".*.info
expect 3:partial "ls with an unreadable info file" "${as_other[@]}" vadizu ls "$work/locked"
chmod 000 "$work/locked"
expect "1:cannot be read" "ls of an unreadable LSU" "${as_other[@]}" vadizu ls "$work/locked"
expect "1:Is a directory" "put of a directory" vadizu put "$lsu" dir "$work" --date 5
[ -z "$(ls -a "$lsu" | grep -E '^\.5|^dir')" ] || fail "refused puts leave no image"
mkdir "$lsu/sub"
for dir in . ./ sub/..; do
  expect 0 "ls $dir" env -C "$lsu" vadizu ls $dir --bytes
  grep -qE "^alpha +20 .* 3145728 " "$work/out" || fail "ls $dir lists the LSU"
done

[ "$failures" = 0 ] && echo "tool test passed" || echo "$failures checks failed"
exit $((failures > 0))
