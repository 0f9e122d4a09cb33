#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Lints one manual with mandoc at its strictest level. Whether a referenced
# manual exists is checked here for the project's own manuals (they must be
# in MANDIR); for the system's it depends on what the machine has installed
# and is not judged.
# Usage: man_lint_test.sh MANDIR PAGE
set -eu
mandir=$1
page=$2

out=$(mandoc -Tlint "$mandir/$page" 2>&1 |
      awk '/outdated mandoc\.db|referenced manual not found/ { next } { print }')
missing=$(awk '$1 == ".Xr" && $2 ~ /^velmora/ { print $2 "." $3 }' "$mandir/$page" | sort -u |
          while read -r ref; do [ -f "$mandir/$ref" ] || echo "$page: no manual $ref"; done)
if [ -n "$out$missing" ]; then
    echo "$out"
    echo "$missing"
    exit 1
fi
echo "$page: clean"
