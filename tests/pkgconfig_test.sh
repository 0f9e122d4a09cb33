#!/bin/sh
# Installs the build into a temporary prefix and builds a C program against it
# through the installed velmora.pc, as a user of the library would.
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
# The .pc file carries the configured prefix; point pkg-config at the copy.
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --define-variable=prefix="$prefix" \
        --cflags --libs velmora)

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
libdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --define-variable=prefix="$prefix" \
         --variable=libdir velmora)
out=$(LD_LIBRARY_PATH=$libdir "$prefix/prog")
echo "$out"
[ "$out" = "velmora via pkg-config: Success" ]
