#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The shared library exports exactly what the public header declares with
# ARC_EXPORT, each name under the library's symbol version.
# Usage: symbols_test.sh LIBRARY HEADER
set -eu
lib=$1
header=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Declared: the name before "(" (a function) or ";" (a table), declarations
# joined onto one line each.
perl -0777 -ne 'while (/^ARC_EXPORT\b([^;]*?)\b(\w+)\s*(?:\(|;)/gm) { print "$2\n" }' "$header" |
    sort -u >"$tmp/declared"
# Exported: defined dynamic symbols other than the version node itself.
nm -D --defined-only --with-symbol-versions "$lib" | awk '$3 !~ /^VELMORA_/ { print $3 }' |
    sort -u >"$tmp/exported"
unversioned=$(grep -v '@@VELMORA_0$' "$tmp/exported" || true)
if [ -n "$unversioned" ]; then
    echo "exported without the VELMORA_0 version:" >&2
    echo "$unversioned" >&2
    exit 1
fi
sed 's/@@VELMORA_0$//' "$tmp/exported" >"$tmp/names"
if ! diff -u "$tmp/declared" "$tmp/names"; then
    echo "the exported symbols (+) differ from the ARC_EXPORT declarations (-)" >&2
    exit 1
fi
echo "$(wc -l <"$tmp/names") symbols exported, all declared in $(basename "$header")"
