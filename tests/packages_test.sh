#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the Debian packages built by scripts/package on this machine and
# runs what they installed as an operator would: the key tool, the service
# unit's check, and the filter itself (-V, -n and test mode, as its own user).
# Needs root; changes the machine (CI only). Purges the packages at the end.
# Usage: packages_test.sh [DEB_DIR]
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  exec sudo bash "$0" "$@"
fi
top=$(cd "$(dirname "$0")/.." && pwd)
debs=${1:-$top/build-deb}
work=$(mktemp -d)
cleanup() {
  rm -rf "$work"
  rm -f /etc/velmora/keys/ci.private /etc/velmora/keys/ci.txt
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq velmora libvelmora-dev libvelmora0 \
    >/dev/null 2>&1 || true
}
trap cleanup EXIT
fail() {
  echo "packages_test: $*" >&2
  exit 1
}

echo "== install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
  "$debs"/velmora_*.deb "$debs"/libvelmora0_*.deb "$debs"/libvelmora-dev_*.deb >/dev/null
getent passwd velmora >/dev/null || fail "no system user velmora"
[ "$(stat -c '%U:%G %a' /etc/velmora/keys)" = "root:velmora 750" ] ||
  fail "/etc/velmora/keys is $(stat -c '%U:%G %a' /etc/velmora/keys)"
[ ! -e /etc/velmora.conf ] || fail "the package must not install /etc/velmora.conf"

echo "== the library through pkg-config"
cat >"$work/prog.c" <<'PROG'
#include <stdio.h>
#include <velmora.h>
int main(void) {
    arc_library* lib = arc_init();
    if (lib == NULL) {
        return 1;
    }
    printf("%s\n", arc_code_to_name(chainstatus, ARC_CHAIN_PASS));
    arc_close(lib);
    return 0;
}
PROG
# shellcheck disable=SC2046
cc -o "$work/prog" "$work/prog.c" $(pkg-config --cflags --libs velmora)
[ "$("$work/prog")" = pass ] || fail "a program built with the installed library failed"

echo "== velmora-genkey"
velmora-genkey -D /etc/velmora/keys -u velmora -d example.org -s ci >"$work/record"
[ "$(stat -c '%U %a' /etc/velmora/keys/ci.private)" = "velmora 600" ] ||
  fail "key is $(stat -c '%U %a' /etc/velmora/keys/ci.private)"
if velmora-genkey -D /etc/velmora/keys -d example.org -s ci 2>/dev/null; then
  fail "velmora-genkey replaced an existing key"
fi
record=$(grep -o '"[^"]*"' "$work/record" | tr -d '"\n')
echo "ci._domainkey.example.org $record" >"$work/keys"

[ -x /usr/sbin/velmora ] || fail "the velmora package holds no /usr/sbin/velmora"
# The library is in a directory the dynamic linker searches: no run path.
if readelf -d /usr/sbin/velmora | grep -E 'R(UN)?PATH'; then
  fail "/usr/sbin/velmora carries a run path"
fi

echo "== service unit"
unit=/lib/systemd/system/velmora.service
[ -f "$unit" ] || fail "no unit $unit"
if command -v systemd-analyze >/dev/null 2>&1; then
  man_check=--man=yes
  command -v man >/dev/null 2>&1 || man_check=--man=no
  systemd-analyze verify "$man_check" "$unit"
  echo "systemd-analyze verify $man_check: clean"
fi

echo "== velmora -V"
velmora -V >"$work/version" 2>&1 || { cat "$work/version"; fail "velmora -V failed"; }
cat "$work/version"

echo "== velmora -n and test mode, as the user velmora"
chmod 0755 "$work"
cat >"$work/seal.conf" <<CONF
Domain          example.org
Selector        ci
KeyFile         /etc/velmora/keys/ci.private
AuthservID      ci.example.org
Mode            s
KeyRecordFile   $work/keys
CONF
sed 's/^Mode .*/Mode            v/' "$work/seal.conf" >"$work/validate.conf"
printf 'From: a@example.org\nTo: b@example.net\nSubject: packages\nDate: Thu, 10 Dec 2026 12:00:00 +0000\nMessage-ID: <ci@example.org>\n\nHello.\n' \
  >"$work/in.eml"
chmod 0644 "$work"/*.conf "$work/keys" "$work/in.eml"
as_velmora() {
  runuser -u velmora -- "$@"
}
as_velmora velmora -n -c "$work/seal.conf" || fail "velmora -n refused the configuration"

# Seal the message with the new key, put the inserted fields on top of it as
# an MTA would, and validate the result against the record velmora-genkey
# printed.
as_velmora velmora -c "$work/seal.conf" -vv -t "$work/in.eml" >"$work/sealed.out" 2>"$work/sealed.err" ||
  { cat "$work/sealed.err"; fail "test mode failed to seal"; }
perl -0777 -ne 'while (/^### INSHEADER: idx=\d+ hname=\x27([^\x27]*)\x27 hvalue=\x27(.*?)\x27\n(?=###|\z)/msg) {
                  my ($n, $v) = ($1, $2); print $n, ($v =~ /^\s/ ? ":" : ": "), $v, "\n" }' \
  "$work/sealed.out" >"$work/fields"
[ "$(grep -c '^ARC-' "$work/fields")" = 3 ] ||
  { cat "$work/sealed.err" "$work/sealed.out"; fail "test mode did not seal"; }
cat "$work/fields" "$work/in.eml" >"$work/sealed.eml"
chmod 0644 "$work/sealed.eml"
as_velmora velmora -c "$work/validate.conf" -vv -t "$work/sealed.eml" >"$work/validated.out" \
  2>"$work/validated.err" || { cat "$work/validated.err"; fail "test mode failed to validate"; }
grep -q "hname='Authentication-Results' hvalue='ci.example.org; arc=pass" "$work/validated.out" || {
  cat "$work/fields" "$work/validated.err" "$work/validated.out"
  fail "the sealed message did not validate"
}
echo "sealed with the new key and validated: arc=pass"
