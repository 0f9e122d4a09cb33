#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The filter's demo: runs the velmora program in test mode (-t) over a message
# as two hosts of one site would, with the shipped demo configuration:
#   1. the inbound host validates the message's ARC chain and adds an
#      Authentication-Results field;
#   2. an internal host relays it, and the relay seals it with a new ARC set
#      that carries the inbound host's result;
#   3. the inbound configuration validates the sealed result.
# Usage: velmora-demo.sh VELMORA DATADIR [MESSAGE]
set -euo pipefail
velmora=$1
data=$2
message=${3:-$data/sample.eml}

# The key file must be readable by its owner only, in directories nobody else
# can write to, so the run works on copies in a private directory of its own.
work=$(mktemp -d "${HOME:-/root}/.velmora-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$data"/velmora-inbound.conf "$data"/velmora-relay.conf "$data"/velmora-internal.hosts \
   "$data"/sample.keys "$work"/
install -m 600 "$data"/demo-key.pem "$work"/demo-key.pem
cp "$message" "$work"/in.eml
cd "$work"

# Runs velmora -vv; the changes it asks for go to $2, its report to stderr
# (answers that stop or defer a message only). Fails with velmora's status.
run() {
  local status=0
  "$velmora" -c "$1" -t "$3" -vv >"$2" 2>report || status=$?
  grep -v -e 'returned SMFIS_CONTINUE' -e 'mlfi_eom() returned SMFIS_ACCEPT' report >&2 || true
  return $status
}

# Applies the INSHEADER lines of $1 to message $2 as an MTA does (every field
# at index 1: below the first field, the last one inserted on top) and writes
# the result to $3. The new fields alone, as the MTA writes them, go to $3.new.
apply() {
  awk -v out="$3" -v new="$3.new" '
    function flush() {
      if (name != "") { sub(/\047$/, "", value); added[n++] = name ": " value; name = "" }
    }
    FILENAME == ARGV[1] {
      if ($0 ~ /^### INSHEADER: /) {
        flush()
        match($0, /hname=\047[^\047]*\047/)
        name = substr($0, RSTART + 7, RLENGTH - 8)
        value = substr($0, index($0, "hvalue=\047") + 8)
      } else if (name != "") {
        value = value "\n" $0
      }
      next
    }
    FNR == 1 {
      flush()
      print > out
      for (i = n - 1; i >= 0; i--) { print added[i] > out; print added[i] > new }
      next
    }
    { print > out }
    END { if (n == 0) { printf "" > new } }
  ' "$1" "$2"
}

echo "== 1. the inbound host validates $(basename "$message") (velmora-inbound.conf)"
run velmora-inbound.conf inbound.changes in.eml
apply inbound.changes in.eml inbound.eml
cat inbound.eml.new
echo
echo "== 2. an internal host relays it; the relay seals it (velmora-relay.conf)"
run velmora-relay.conf relay.changes inbound.eml
apply relay.changes inbound.eml sealed.eml
cat sealed.eml.new
echo
echo "== 3. the sealed message validated again (velmora-inbound.conf)"
run velmora-inbound.conf check.changes sealed.eml
apply check.changes sealed.eml checked.eml
cat checked.eml.new
