#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs the build into a fresh prefix, as an operator building from source
# does, and runs the installed programs with an empty environment: each must
# find libvelmora through its own run path, with no LD_LIBRARY_PATH and no
# ldconfig entry for the prefix.
# Usage: install_test.sh BUILD_DIR
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
status=0

cmake --install "$build" --prefix "$prefix" >/dev/null
# A name with a space would break the program's path elsewhere; the prefix
# itself is what mktemp made.
clean() {
    env -i PATH=/usr/bin:/bin "$@"
}

# expect NAME STATUS TEXT COMMAND...: COMMAND exits STATUS and prints TEXT on
# standard output.
expect() {
    name=$1 want=$2 text=$3
    shift 3
    set +e
    out=$(clean "$@" 2>"$prefix/err")
    got=$?
    set -e
    if [ "$got" -ne "$want" ]; then
        echo "$name: exit status $got, expected $want; stderr:" >&2
        cat "$prefix/err" >&2
        status=1
    elif ! printf '%s\n' "$out" | grep -qF -- "$text"; then
        echo "$name: '$text' not in the output:" >&2
        printf '%s\n' "$out" >&2
        status=1
    else
        echo "$name: ok"
    fi
}

sbin=$prefix/sbin
expect "velmora -V" 0 "Velmora Filter v" "$sbin/velmora" -V
expect "velmora-genkey -h" 0 "print this help message and exit" "$sbin/velmora-genkey" -h
mkdir "$prefix/keys"
expect "velmora-genkey makes a key" 0 "v=DKIM1; k=rsa; p=" \
    "$sbin/velmora-genkey" -d example.org -s s1 -D "$prefix/keys"
if [ -f "$prefix/keys/s1.private" ]; then
    echo "velmora-genkey: key written"
else
    echo "velmora-genkey: no key in $prefix/keys" >&2
    status=1
fi
exit $status
