#!/usr/bin/env bash
# Brings up a one-brick GlusterFS volume on this machine, mounts it twice over
# FUSE (each mount stands for a separate client host), runs the cross-host
# workloads with the LSU on the volume, and always tears everything down.
#
# Usage: tests/cluster/run.sh [--short] [--workload PATH] [--gluster-defaults]
#   --short      the small form run by `make test`
#   --workload   the reliability_workload program (default: build/tests/reliability)
#   --gluster-defaults  keep GlusterFS's client caches on (the workloads are
#                expected to fail then; see "Sharing an LSU between hosts")
# Exits 0 when every workload passed, 1 when one failed, and 77 (skipped)
# with the reason when this machine cannot run the cluster.
set -uo pipefail

readonly SKIPPED=77
size=full
workload=""
# Every client of the volume must see another client's change at once: no
# caching of file data, attributes or names in the client's translators or
# in the kernel's FUSE layer.
volume_options=(performance.quick-read=off performance.io-cache=off
  performance.read-ahead=off performance.stat-prefetch=off
  performance.open-behind=off performance.write-behind=off
  performance.readdir-ahead=off)
mount_options=direct-io-mode=enable,attribute-timeout=0,entry-timeout=0,negative-timeout=0
while [ $# -gt 0 ]; do
  case "$1" in
    --short) size=short ;;
    --workload) workload="$2"; shift ;;
    --gluster-defaults) volume_options=(); mount_options="" ;;
    *) echo "usage: $0 [--short] [--workload PATH] [--gluster-defaults]" >&2; exit 2 ;;
  esac
  shift
done
repo=$(cd "$(dirname "$0")/../.." && pwd)
workload=${workload:-$repo/build/tests/reliability/reliability_workload}

skip() { echo "cluster test skipped: $*"; exit "$SKIPPED"; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
seconds_since() { local ms=$(( $(now_ms) - $1 )); printf '%d.%01d s' $((ms / 1000)) $((ms % 1000 / 100)); }

[ -x "$workload" ] || { echo "no workload program at $workload (run make build)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || skip "glusterd and FUSE mounts need root"
[ -c /dev/fuse ] || skip "no /dev/fuse on this machine"
grep -qw fuse /proc/filesystems || modprobe fuse 2>/dev/null
grep -qw fuse /proc/filesystems || skip "the kernel has no FUSE file system"
if ! command -v glusterd >/dev/null || ! command -v mount.glusterfs >/dev/null; then
  "$repo/tools/install-deps.sh" glusterfs-server glusterfs-client >&2 ||
    skip "glusterfs-server and glusterfs-client could not be installed"
fi

# One cluster at a time on this machine: runs from two build trees queue here.
exec 9>/tmp/vadizu-cluster.lock
flock -w 900 9 || skip "another cluster run held the lock for 15 minutes"

tmp=$(mktemp -d /tmp/vadizu-cluster.XXXXXX)
volume=vadizu_$$
glusterd_pid=""    # set only when this script started glusterd
brick_pid=""       # the brick daemon our volume start brought up
brick_socket=""
workload_pid=""
volume_made=0

teardown() {
  local status=$? began
  began=$(now_ms)
  trap - EXIT INT TERM
  # The workload's own children die with it.
  [ -n "$workload_pid" ] && kill "$workload_pid" 2>/dev/null && wait "$workload_pid"
  for m in a b; do
    mountpoint -q "$tmp/$m" 2>/dev/null && { umount "$tmp/$m" || umount -l "$tmp/$m"; }
  done
  if [ "$volume_made" = 1 ]; then
    gluster --mode=script volume stop "$volume" >/dev/null 2>&1 ||
      gluster --mode=script volume stop "$volume" force >/dev/null 2>&1
    gluster --mode=script volume delete "$volume" >/dev/null 2>&1
    # The brick daemon came with our volume; stop it by its pid if the
    # volume stop did not.
    [ -n "$brick_pid" ] && kill -0 "$brick_pid" 2>/dev/null && kill "$brick_pid"
    # What gluster kept about the volume outside our temporary directory.
    rm -rf "/var/run/gluster/vols/$volume" "$brick_socket" \
      "/var/log/glusterfs/bricks/$(echo "${tmp#/}/brick" | tr / -).log"
    rmdir "/var/log/glusterfs/gfproxy/$volume" "/var/log/glusterfs/snaps/$volume" 2>/dev/null
  fi
  if [ -n "$glusterd_pid" ]; then
    kill "$glusterd_pid" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$glusterd_pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$glusterd_pid" 2>/dev/null && kill -9 "$glusterd_pid"
    wait "$glusterd_pid" 2>/dev/null
  fi
  rm -rf "$tmp"
  echo "cluster down in $(seconds_since "$began")"
  exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT TERM

began=$(now_ms)
mkdir -p "$tmp/brick" "$tmp/a" "$tmp/b" "$tmp/glusterd"
if timeout 10 gluster --mode=script pool list >/dev/null 2>&1; then
  echo "using the glusterd already running"
else
  # Our own management daemon, in the foreground so that $! is its pid, with
  # its state in the temporary directory.
  sed "s#option working-directory .*#option working-directory $tmp/glusterd#" \
    /etc/glusterfs/glusterd.vol >"$tmp/glusterd.vol"
  glusterd -N -f "$tmp/glusterd.vol" -l "$tmp/glusterd.log" >/dev/null 2>&1 &
  glusterd_pid=$!
  for _ in $(seq 60); do
    timeout 10 gluster --mode=script pool list >/dev/null 2>&1 && break
    kill -0 "$glusterd_pid" 2>/dev/null || break
    sleep 0.5
  done
  timeout 10 gluster --mode=script pool list >/dev/null 2>&1 ||
    skip "glusterd did not come up within 30 s ($(tail -n 1 "$tmp/glusterd.log" 2>/dev/null))"
fi

# The brick lives on the root file system, which gluster accepts only with
# force. The first host name gluster takes for this machine is used.
for host in "$(hostname)" localhost 127.0.0.1; do
  if gluster --mode=script volume create "$volume" "$host:$tmp/brick" force \
       >"$tmp/create.out" 2>&1; then
    volume_made=1
    break
  fi
done
[ "$volume_made" = 1 ] || skip "gluster refused the volume: $(cat "$tmp/create.out")"
for option in "${volume_options[@]}"; do
  gluster --mode=script volume set "$volume" "${option%%=*}" "${option#*=}" >"$tmp/set.out" 2>&1 ||
    skip "gluster refused $option: $(cat "$tmp/set.out")"
done
gluster --mode=script volume start "$volume" >"$tmp/start.out" 2>&1 ||
  skip "gluster could not start the volume: $(cat "$tmp/start.out")"
brick_pid=$(cat /var/run/gluster/vols/"$volume"/*.pid 2>/dev/null | head -n 1)
[ -n "$brick_pid" ] &&
  brick_socket=$(tr '\0' '\n' <"/proc/$brick_pid/cmdline" | grep -A1 -x -- -S | tail -n 1)
for m in a b; do
  mount -t glusterfs -o "log-file=$tmp/mount-$m.log${mount_options:+,$mount_options}" "$host:/$volume" "$tmp/$m" ||
    skip "mounting the volume failed: $(tail -n 2 "$tmp/mount-$m.log" 2>/dev/null)"
done
echo "cluster up in $(seconds_since "$began"): volume $volume, brick $host:$tmp/brick, mounted at $tmp/a and $tmp/b"

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
[ "$failed" = 0 ] && echo "cluster workloads ($size): passed" || echo "cluster workloads ($size): FAILED"
exit "$failed"
