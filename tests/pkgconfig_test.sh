#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs the build into a temporary prefix and builds a C program against it
# through the installed velmora.pc, as a user of the library would. The .pc
# file must name the prefix given at install time. Then the same program is
# built by a CMake project through find_package(velmora).
# Usage: pkgconfig_test.sh BUILD_DIR [CC [EXTRA_CFLAGS]]
set -eu
build=$1
cc=${2:-cc}
extra=${3:-}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name velmora.pc -path '*/pkgconfig/*' | head -n 1)
if [ -z "$pc" ]; then
    echo "velmora.pc was not installed under $prefix" >&2
    exit 1
fi
pcdir=$(dirname "$pc")
installed=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=prefix velmora)
if [ "$installed" != "$prefix" ]; then
    echo "velmora.pc names prefix '$installed', installed under '$prefix'" >&2
    exit 1
fi
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs velmora)

cat >"$prefix/prog.c" <<'PROG'
#include <stdio.h>
#include <string.h>
#include <velmora.h>

int main(void) {
    arc_library* lib = arc_init();
    const char* field = "Subject: hello";
    arc_msg* msg;
    if (lib == NULL) {
        return 1;
    }
    msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                      ARC_MODE_VERIFY, NULL);
    if (msg == NULL ||
        arc_header_field(msg, (const unsigned char*)field, strlen(field)) != ARC_STAT_OK ||
        arc_eoh(msg) != ARC_STAT_OK) {
        return 1;
    }
    printf("velmora via pkg-config: %s\n", arc_code_to_name(results, ARC_STAT_OK));
    arc_free(msg);
    arc_close(lib);
    return 0;
}
PROG

# shellcheck disable=SC2086
"$cc" $extra -o "$prefix/prog" "$prefix/prog.c" $flags
libdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir velmora)
out=$(LD_LIBRARY_PATH=$libdir "$prefix/prog")
echo "$out"
[ "$out" = "velmora via pkg-config: Success" ]

mkdir "$prefix/user"
cat >"$prefix/user/CMakeLists.txt" <<'PROJ'
cmake_minimum_required(VERSION 3.16)
project(user C)
find_package(velmora 0.1 REQUIRED)
message(STATUS "velmora_DIR=${velmora_DIR}")
add_executable(prog ../prog.c)
target_link_libraries(prog PRIVATE velmora::velmora)
PROJ
log=$(cmake -S "$prefix/user" -B "$prefix/user/build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$extra")
case $log in
    *"velmora_DIR=$prefix/"*) ;;
    *) echo "find_package(velmora) did not use the copy under $prefix:"; echo "$log"; exit 1 ;;
esac
cmake --build "$prefix/user/build" >/dev/null
out=$(LD_LIBRARY_PATH=$libdir "$prefix/user/build/prog")
[ "$out" = "velmora via pkg-config: Success" ]
echo "velmora via find_package: built and ran"
