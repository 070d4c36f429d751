# GlusterFS for run.sh: a one-brick volume in $tmp, mounted at $tmp/a and
# $tmp/b; fs_up sets $where for the report. Every client of the volume must
# see another client's change at once: no caching of file data, attributes
# or names in the client's translators or in the kernel's FUSE layer.
volume_options=(performance.{quick-read,io-cache,read-ahead,stat-prefetch,open-behind,write-behind}=off
  performance.readdir-ahead=off)
mount_options=direct-io-mode=enable,attribute-timeout=0,entry-timeout=0,negative-timeout=0
volume=vadizu_$$
glusterd_pid=""    # set only when this script started glusterd

gl() { gluster --mode=script "$@" >"$tmp/gluster.out" 2>&1; }
answers() { timeout 10 gluster --mode=script pool list >/dev/null 2>&1; }

fs_up() {
  type -P glusterd mount.glusterfs >/dev/null ||
    "$repo/tools/install-deps.sh" glusterfs-server glusterfs-client >&2 ||
    skip "glusterfs-server and glusterfs-client could not be installed"
  mkdir -p "$tmp/brick" "$tmp/glusterd"
  if ! answers; then
    # Our own management daemon, in the foreground so that $! is its pid,
    # with its state in the temporary directory.
    sed "s#option working-directory .*#option working-directory $tmp/glusterd#" \
      /etc/glusterfs/glusterd.vol >"$tmp/glusterd.vol"
    glusterd -N -f "$tmp/glusterd.vol" -l "$tmp/glusterd.log" >/dev/null 2>&1 &
    glusterd_pid=$!
    wait_for 30 answers ||
      skip "glusterd did not come up within 30 s ($(tail -n 1 "$tmp/glusterd.log" 2>/dev/null))"
  fi

  # The brick lives on the root file system, which gluster accepts only with
  # force. The first host name gluster takes for this machine is used.
  for host in "$(hostname)" localhost 127.0.0.1; do
    gl volume create "$volume" "$host:$tmp/brick" force && break
  done || skip "gluster refused the volume: $(cat "$tmp/gluster.out")"
  for option in "${volume_options[@]}"; do
    gl volume set "$volume" "${option%%=*}" "${option#*=}" ||
      skip "gluster refused $option: $(cat "$tmp/gluster.out")"
  done
  gl volume start "$volume" || skip "gluster could not start the volume: $(cat "$tmp/gluster.out")"
  for m in a b; do
    mount -t glusterfs -o "log-file=$tmp/mount-$m.log,$mount_options" "$host:/$volume" "$tmp/$m" ||
      skip "mounting the volume failed: $(tail -n 2 "$tmp/mount-$m.log" 2>/dev/null)"
  done
  where="volume $volume, brick $host:$tmp/brick, glusterd ${glusterd_pid:-already running}"
}

# After run.sh has unmounted $tmp/a and $tmp/b.
fs_down() {
  if gl volume info "$volume"; then
    # The brick daemon our volume start brought up, and its socket.
    local brick_pid brick_socket
    brick_pid=$(cat /var/run/gluster/vols/"$volume"/*.pid 2>/dev/null | head -n 1)
    brick_socket=$(tr '\0' '\n' <"/proc/$brick_pid/cmdline" 2>/dev/null | grep -A1 -x -- -S | tail -n 1)
    gl volume stop "$volume" || gl volume stop "$volume" force
    gl volume delete "$volume"
    # In case the volume stop missed it.
    stop_pid "$brick_pid"
    # What gluster kept about the volume outside our temporary directory.
    rm -rf "/var/run/gluster/vols/$volume" "$brick_socket" \
      "/var/log/glusterfs/bricks/$(echo "${tmp#/}/brick" | tr / -).log"
    rmdir "/var/log/glusterfs/gfproxy/$volume" "/var/log/glusterfs/snaps/$volume" 2>/dev/null
  fi
  stop_pid "$glusterd_pid"
}
