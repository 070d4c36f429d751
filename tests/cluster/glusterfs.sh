# GlusterFS for run.sh: a one-brick volume in $tmp, mounted at $tmp/a and
# $tmp/b; fs_up sets $where for the report. Every client of the volume must
# see another client's change at once: no caching of file data, attributes
# or names in the client's translators or in the kernel's FUSE layer
# (run.sh --defaults empties both lists).
volume_options=(performance.quick-read=off performance.io-cache=off
  performance.read-ahead=off performance.stat-prefetch=off
  performance.open-behind=off performance.write-behind=off
  performance.readdir-ahead=off)
mount_options=direct-io-mode=enable,attribute-timeout=0,entry-timeout=0,negative-timeout=0
if [ "$defaults" = 1 ]; then volume_options=(); mount_options=""; fi
volume=vadizu_$$
glusterd_pid=""    # set only when this script started glusterd
brick_pid=""       # the brick daemon our volume start brought up
brick_socket=""
volume_made=0

fs_settings() { echo "volume options: ${volume_options[*]:-defaults}; mount options: ${mount_options:-defaults}"; }

fs_up() {
  if ! command -v glusterd >/dev/null || ! command -v mount.glusterfs >/dev/null; then
    "$repo/tools/install-deps.sh" glusterfs-server glusterfs-client >&2 ||
      skip "glusterfs-server and glusterfs-client could not be installed"
  fi
  mkdir -p "$tmp/brick" "$tmp/glusterd"
  if timeout 10 gluster --mode=script pool list >/dev/null 2>&1; then
    echo "using the glusterd already running"
  else
    # Our own management daemon, in the foreground so that $! is its pid,
    # with its state in the temporary directory.
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
  where="volume $volume, brick $host:$tmp/brick"
}

# After run.sh has unmounted $tmp/a and $tmp/b.
fs_down() {
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
  stop_pid "$glusterd_pid"
}
