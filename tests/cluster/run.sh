#!/usr/bin/env bash
# Brings each file system (glusterfs.sh, moosefs.sh; both by default) up on
# this machine, mounts it twice over FUSE (each mount stands for a client
# host), runs the cross-host workloads and `vadizu qualify --peer` on it, and
# always tears everything down. After `make build` (BUILD_DIR: build/):
#   tests/cluster/run.sh [--short] [glusterfs] [moosefs]
# Exits 0 when every workload passed, 1 when one failed, and 77 (skipped)
# with the reason when this machine can run neither file system.
set -uo pipefail
size=full rounds=20
filesystems=""
for arg; do
  case "$arg" in
    --short) size=short rounds=5 ;;
    glusterfs | moosefs) filesystems+=" $arg" ;;
    *) echo "usage: $0 [--short] [glusterfs] [moosefs]" >&2; exit 2 ;;
  esac
done
repo=$(cd "$(dirname "$0")/../.." && pwd)
workload=${BUILD_DIR:-$repo/build}/tests/reliability/reliability_workload
vadizu=${BUILD_DIR:-$repo/build}/tools/vadizu

skip() { echo "cluster test skipped: $*"; exit 77; }
since() { awk "BEGIN { printf \"%.1f s\", $EPOCHREALTIME - $1 }"; }
# wait_for SECONDS COMMAND...: until COMMAND succeeds, for SECONDS at most.
wait_for() {
  local end=$((SECONDS + $1))
  until "${@:2}" 2>/dev/null; do [ "$SECONDS" -lt "$end" ] && sleep 0.2 || return 1; done
}
stop_pid() {  # SIGTERM, then SIGKILL after 10 s; only for daemons we started
  kill "$1" 2>/dev/null || return 0
  wait_for 10 test ! -d "/proc/$1" || kill -9 "$1"
  wait "$1" 2>/dev/null
}

[ "$(id -u)" -eq 0 ] || skip "the file system daemons and FUSE mounts need root"
[ -c /dev/fuse ] || skip "no /dev/fuse on this machine"
grep -qw fuse /proc/filesystems || modprobe fuse 2>/dev/null || skip "the kernel has no FUSE file system"

# One cluster at a time on this machine: runs from two build trees queue here.
exec 9>/tmp/vadizu-cluster.lock
flock -w 900 9 || skip "another cluster run held the lock for 15 minutes"

# run_on FS: in a subshell of its own, so that skip and the teardown trap
# end only this file system's run.
run_on() (
  source "$repo/tests/cluster/$1.sh"
  tmp=$(mktemp -d /tmp/vadizu-cluster.XXXXXX)
  workload_pid=""
  teardown() {
    local status=$? began=$EPOCHREALTIME
    trap - EXIT INT TERM
    # The workload's own children die with it.
    [ -n "$workload_pid" ] && kill "$workload_pid" 2>/dev/null && wait "$workload_pid"
    for m in "$tmp/a" "$tmp/b"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
    fs_down
    rm -rf "$tmp"
    echo "$1 down in $(since "$began")"
    exit "$status"
  }
  trap 'teardown "$1"' EXIT
  trap 'exit 130' INT TERM

  began=$EPOCHREALTIME
  mkdir -p "$tmp/a" "$tmp/b"
  fs_up
  echo "$1 up in $(since "$began"): $where, mounted at $tmp/a and $tmp/b"
  failed=0
  for w in probe contention crash listing; do
    began=$EPOCHREALTIME
    # In the background, so that a signal reaches the trap at once.
    "$workload" "$w" "$tmp/a" "$tmp/b" "$size" &
    workload_pid=$!
    wait "$workload_pid" || failed=1
    workload_pid=""
    echo "  $w took $(since "$began")"
  done
  mkdir "$tmp/a/qualify"
  "$vadizu" qualify "$tmp/a/qualify" --peer "$tmp/b/qualify" --rounds "$rounds" || failed=1
  [ "$failed" = 0 ] && echo "$1 workloads ($size): passed" || echo "$1 workloads ($size): FAILED"
  exit "$failed"
)

worst=77
for fs in ${filesystems:-glusterfs moosefs}; do
  run_on "$fs"
  status=$?
  [ "$status" = 77 ] || [ "$worst" = 1 ] || worst=$((status != 0))
done
exit "$worst"
