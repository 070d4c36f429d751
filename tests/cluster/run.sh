#!/usr/bin/env bash
# On GlusterFS (glusterfs.sh), then on MooseFS (moosefs.sh): brings the file
# system up on this machine, mounts it twice over FUSE (each mount stands for
# a client host), runs the cross-host workloads and `vadizu qualify --peer`
# on it, and always tears everything down.
# Usage: tests/cluster/run.sh [--short] [--fs glusterfs|moosefs]
#          [--workload reliability_workload] [--vadizu vadizu] [--defaults]
# --defaults keeps the client caches on (see "Sharing an LSU between hosts").
# Exits 0 when every workload passed, 1 when one failed, and 77 (skipped)
# with the reason when this machine can run neither file system.
set -uo pipefail

readonly SKIPPED=77
size=full
filesystems="glusterfs moosefs"
workload=""
vadizu=""
defaults=0
while [ $# -gt 0 ]; do
  case "$1" in
    --short) size=short ;;
    --fs) filesystems="$2"; shift ;;
    --workload) workload="$2"; shift ;;
    --vadizu) vadizu="$2"; shift ;;
    --defaults | --gluster-defaults) defaults=1 ;;
    *) echo "usage: $0 [--short] [--fs glusterfs|moosefs] [--workload PATH] [--vadizu PATH] [--defaults]" >&2; exit 2 ;;
  esac
  shift
done
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
workload=${workload:-$repo/build/tests/reliability/reliability_workload}
vadizu=${vadizu:-$repo/build/tools/vadizu}

skip() { echo "cluster test skipped: $*"; exit "$SKIPPED"; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
seconds_since() { local ms=$(( $(now_ms) - $1 )); printf '%d.%01d s' $((ms / 1000)) $((ms % 1000 / 100)); }
# stop_pid PID: SIGTERM, then SIGKILL after 10 s; for daemons we started.
stop_pid() {
  [ -n "$1" ] && kill -0 "$1" 2>/dev/null || return 0
  kill "$1" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$1" 2>/dev/null && kill -9 "$1"
  wait "$1" 2>/dev/null
}

for program in "$workload" "$vadizu"; do
  [ -x "$program" ] || { echo "no program at $program (run make build)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || skip "the file system daemons and FUSE mounts need root"
[ -c /dev/fuse ] || skip "no /dev/fuse on this machine"
grep -qw fuse /proc/filesystems || modprobe fuse 2>/dev/null
grep -qw fuse /proc/filesystems || skip "the kernel has no FUSE file system"

# One cluster at a time on this machine: runs from two build trees queue here.
exec 9>/tmp/vadizu-cluster.lock
flock -w 900 9 || skip "another cluster run held the lock for 15 minutes"

# run_on FS: in a subshell of its own, so that skip and the teardown trap
# end only this file system's run.
run_on() (
  source "$here/$1.sh"
  tmp=$(mktemp -d /tmp/vadizu-cluster.XXXXXX)
  workload_pid=""
  teardown() {
    local status=$? began
    began=$(now_ms)
    trap - EXIT INT TERM
    # The workload's own children die with it.
    [ -n "$workload_pid" ] && kill "$workload_pid" 2>/dev/null && wait "$workload_pid"
    for m in a b; do
      mountpoint -q "$tmp/$m" 2>/dev/null && { umount "$tmp/$m" || umount -l "$tmp/$m"; }
    done
    fs_down
    rm -rf "$tmp"
    echo "$1 down in $(seconds_since "$began")"
    exit "$status"
  }
  trap 'teardown "$1"' EXIT
  trap 'exit 130' INT TERM

  began=$(now_ms)
  mkdir -p "$tmp/a" "$tmp/b"
  fs_up
  echo "$1 up in $(seconds_since "$began"): $where, mounted at $tmp/a and $tmp/b; $(fs_settings)"

  failed=0
  for w in probe contention crash listing; do
    began=$(now_ms)
    # In the background, so that a signal reaches the trap at once.
    "$workload" "$w" "$tmp/a" "$tmp/b" "$size" &
    workload_pid=$!
    wait "$workload_pid" || failed=1
    workload_pid=""
    echo "  $w took $(seconds_since "$began")"
  done
  mkdir "$tmp/a/qualify"
  "$vadizu" qualify "$tmp/a/qualify" --peer "$tmp/b/qualify" --rounds "$([ "$size" = short ] && echo 5 || echo 20)" ||
    failed=1
  [ "$failed" = 0 ] && echo "$1 workloads ($size): passed" || echo "$1 workloads ($size): FAILED"
  exit "$failed"
)

statuses=""
for fs in $filesystems; do
  run_on "$fs"
  statuses+=" $?"
done
case "$statuses" in
  *" 1"* | *" 130"*) exit 1 ;;
  *" 0"*) exit 0 ;;
  *) exit "$SKIPPED" ;;
esac
