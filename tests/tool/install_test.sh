#!/usr/bin/env bash
# Builds the Debian packages, unpacks all three into a scratch root, runs
# the packaged vadizu command from there, and builds a small C consumer
# twice against the unpacked development files, with pkg-config and with
# find_package, then runs both on an image that command stored.
# Usage: install_test.sh SOURCE_DIR C_COMPILER   (77: no packaging tools)
set -eu
src=$1
cc=$2
type -P dpkg-buildpackage dh >/dev/null ||
  { echo "SKIPPED: no dpkg-buildpackage or dh; make test installs them"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
die() { echo "FAIL: $*"; exit 1; }

"$src/tools/build-packages.sh" "$work/packages" >/dev/null
for deb in "$work"/packages/*.deb; do dpkg-deb -x "$deb" "$root"; done
libdir=$root/usr/lib/$(dpkg-architecture -q DEB_HOST_MULTIARCH)
[ -e "$root/usr/share/man/man1/vadizu.1.gz" ] || die "no compressed man page"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --variable=libdir vadizu)" -ef "$libdir" ] || die "vadizu.pc does not lead to $libdir"
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
[ "$("$root/usr/bin/vadizu" --version)" = "vadizu $version" ] ||
  die "packaged vadizu --version is not $version"

# The packaged command finds the packaged plug-in by itself.
mkdir "$work/lsu" "$work/project"
head -c 4096 /dev/zero >"$work/data"
"$root/usr/bin/vadizu" put "$work/lsu" consumed "$work/data" --date 1 >/dev/null

cat >"$work/consumer.c" <<'C'
#include <stdio.h>
#include <vadizu.h>
int main(int argc, char** argv) {
  sts_lsu_name_v7_t lsu = {{0}}; char server[512] = "localhost";
  sts_image_def_v10_t def; stsp_image_list_handle_s* list;
  snprintf(lsu.name, sizeof(lsu.name), "%s", argv[argc - 1]);
  if (vadizu_init(10) != STS_EOK) return 1;
  if (vadizu_open_image_list(&lsu, NULL, server, VADIZU_LIST_ALL, &list)) return 1;
  while (vadizu_list_image(list, &def) == STS_EOK) printf("%s\n", def.basename);
  vadizu_close_image_list(list);
  return vadizu_terminate();
}
C

"$cc" "$work/consumer.c" -o "$work/by-pkg-config" \
  $(pkg-config --cflags --libs vadizu) -Wl,-rpath,"$libdir"
cat >"$work/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(vadizu 1 REQUIRED)
add_executable(consumer ../consumer.c)
target_link_libraries(consumer PRIVATE vadizu::vadizu)
CMAKE
cmake -S "$work/project" -B "$work/project/build" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/project/build" >/dev/null
[ "$("$work/by-pkg-config" "$work/lsu")" = consumed ] || die "by pkg-config"
[ "$("$work/project/build/consumer" "$work/lsu")" = consumed ] || die "by find_package"
echo "install test passed"
