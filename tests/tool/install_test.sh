#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks what lands there, and
# builds a small C consumer twice, with pkg-config and with find_package,
# then runs both against an image stored by the installed vadizu command.
# Usage: install_test.sh BUILD_DIR C_COMPILER
set -eu
build=$1
cc=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
die() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/vadizu.h bin/vadizu share/man/man1/vadizu.1; do
  [ -e "$prefix/$f" ] || die "$f not installed"
done
PKG_CONFIG_PATH=$(echo "$prefix"/lib*/pkgconfig)
export PKG_CONFIG_PATH
libdir=$(pkg-config --variable=libdir vadizu)
[ -L "$libdir/libvadizu.so" ] && [ -L "$libdir/libvadizu.so.1" ] ||
  die "library links missing in $libdir"

# The installed command finds the installed plug-in by itself.
mkdir "$work/lsu" "$work/project"
head -c 4096 /dev/zero >"$work/data"
"$prefix/bin/vadizu" put "$work/lsu" consumed "$work/data" --date 1 >/dev/null

cat >"$work/consumer.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <vadizu.h>
int main(int argc, char** argv) {
  sts_lsu_name_v7_t lsu = {{0}}; char server[512] = "localhost";
  sts_image_def_v10_t def; stsp_image_list_handle_s* list;
  strncpy(lsu.name, argv[argc - 1], sizeof(lsu.name) - 1);
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
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/project/build" >/dev/null
for consumer in "$work/by-pkg-config" "$work/project/build/consumer"; do
  [ "$("$consumer" "$work/lsu")" = consumed ] || die "$consumer"
done
echo "install test passed"
