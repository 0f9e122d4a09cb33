#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Checks the systemd unit with systemd-analyze verify, with the program it
# starts taken from the build and its manuals from the tree.
# Usage: unit_verify_test.sh UNIT PROGRAM MANDIR
set -eu
unit=$1
program=$2
mandir=$3
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "systemd-analyze is not installed"
    exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

sed "s#/usr/sbin/velmora #$program #" "$unit" >"$tmp/velmora.service"
grep -q "^ExecStart=$program " "$tmp/velmora.service"
for p in "$mandir"/*.[1-9]; do
    mkdir -p "$tmp/man/man${p##*.}"
    cp "$p" "$tmp/man/man${p##*.}/"
done
man_check=--man=yes
command -v man >/dev/null 2>&1 || man_check=--man=no
out=$(cd "$tmp" && MANPATH=$tmp/man systemd-analyze verify "$man_check" ./velmora.service 2>&1)
if [ -n "$out" ]; then
    echo "$out"
    exit 1
fi
echo "velmora.service: clean ($man_check)"
