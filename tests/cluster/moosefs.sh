# MooseFS for run.sh: a master and a chunkserver with their data in $tmp,
# and two FUSE client mounts. The chunkserver refuses a master address in
# 127.0.0.0/8, so both daemons run in a network namespace of their own, on
# the two ends of a veth pair whose addresses exist only inside it; the
# clients join its network with nsenter, since `ip netns exec` would hide
# their mounts in a private mount namespace.
ns=vadizu-mfs-$$
veth=vzm$$
master_addr=10.213.0.1
chunk_addr=10.213.0.2
mount_options=mfscachemode=DIRECT,mfsattrcacheto=0,mfsentrycacheto=0,mfsdirentrycacheto=0,mfsnegentrycacheto=0
pids=()

fs_up() {
  type -P mfsmaster mfschunkserver mfsmount >/dev/null ||
    "$repo/tools/install-deps.sh" moosefs-master moosefs-chunkserver moosefs-client >&2 ||
    skip "moosefs-master, moosefs-chunkserver and moosefs-client could not be installed"
  mkdir -p "$tmp/master" "$tmp/chunkserver" "$tmp/chunks"
  cp /var/lib/mfs/metadata.mfs.empty "$tmp/master/metadata.mfs" || skip "no empty MooseFS metadata"
  echo "* / rw,alldirs,admin,maproot=0:0" >"$tmp/exports.cfg"
  echo "$tmp/chunks" >"$tmp/hdd.cfg"
  printf '%s\n' "WORKING_USER = root" "WORKING_GROUP = root" "DATA_PATH = $tmp/master" \
    "EXPORTS_FILENAME = $tmp/exports.cfg" >"$tmp/master.cfg"
  printf '%s\n' "WORKING_USER = root" "WORKING_GROUP = root" "DATA_PATH = $tmp/chunkserver" \
    "HDD_CONF_FILENAME = $tmp/hdd.cfg" "HDD_LEAVE_SPACE_DEFAULT = 64MiB" \
    "MASTER_HOST = $master_addr" "BIND_HOST = $chunk_addr" >"$tmp/chunkserver.cfg"
  ip netns add "$ns" &&
    ip link add "${veth}a" netns "$ns" type veth peer name "${veth}b" netns "$ns" &&
    ip -n "$ns" addr add "$master_addr/24" dev "${veth}a" &&
    ip -n "$ns" addr add "$chunk_addr/24" dev "${veth}b" &&
    ip -n "$ns" link set lo up && ip -n "$ns" link set "${veth}a" up &&
    ip -n "$ns" link set "${veth}b" up ||
    skip "cannot make a network namespace with a veth pair"
  # In the foreground, so that $! is the daemon's pid.
  for daemon in mfsmaster mfschunkserver; do
    ip netns exec "$ns" "$daemon" -c "$tmp/${daemon#mfs}.cfg" -f start >"$tmp/$daemon.log" 2>&1 &
    pids=($! "${pids[@]}")
  done
  wait_for 30 grep -q "chunkserver register end" "$tmp/mfsmaster.log" ||
    skip "no chunkserver registered within 30 s ($(tail -n 1 "$tmp/mfschunkserver.log"))"
  for m in a b; do
    nsenter --net="/run/netns/$ns" mfsmount "$tmp/$m" -f -H "$master_addr" \
      -o "$mount_options" >"$tmp/mount-$m.log" 2>&1 &
    pids=($! "${pids[@]}")
    wait_for 30 mountpoint -q "$tmp/$m" || skip "mfsmount failed: $(tail -n 1 "$tmp/mount-$m.log")"
  done
  where="master $master_addr and chunkserver $chunk_addr in network namespace $ns"
}

# After run.sh has unmounted both: clients, chunkserver, master, in that
# order. The veth pair goes with the namespace.
fs_down() {
  for pid in "${pids[@]}"; do stop_pid "$pid"; done
  ip netns del "$ns" 2>/dev/null
}
