#!/usr/bin/env bash
# The service as installed for the package (cmake --install with prefix /usr
# into a scratch root): the unit restarts a daemon that failed or was
# refused, keeps only the board's capabilities, passes systemd-analyze verify
# and stays within an exposure of 2.5 by systemd-analyze security; the
# configuration gives the segment to the group kx29, which postinst creates
# with addgroup --system and postrm keeps. Nothing on the machine changes.
# Exit status 77 (skipped) without systemd-analyze.
#
#   packaging/service-test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
scratch=$(mktemp -d /tmp/kx29-service-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$scratch/root cmake --install "$build" --prefix /usr >"$scratch/install.log"
unit=$scratch/root/lib/systemd/system/kx29d.service
conf=$scratch/root/etc/kx29/kx29.conf
setting() { sed -n "s/^$1=//p" "$unit"; }

echo "== the unit and the configuration"
[ "$(setting Restart)" = on-failure ] || fail "Restart=$(setting Restart), not on-failure"
[ "$(setting SuccessExitStatus)" = 15 ] || fail "SuccessExitStatus=$(setting SuccessExitStatus): only 15 (SIGTERM) is a clean end"
[ -n "$(setting StartLimitBurst)" ] && [ -n "$(setting StartLimitIntervalSec)" ] && [ -n "$(setting RestartSec)" ] \
  || fail "no rate limit on restarts"
[ "$(setting CapabilityBoundingSet)" = "CAP_SYS_RAWIO CAP_SYS_NICE CAP_IPC_LOCK" ] || fail "capabilities: $(setting CapabilityBoundingSet)"
for on in NoNewPrivileges ProtectSystem ProtectHome PrivateTmp; do [ -n "$(setting $on)" ] || fail "no $on"; done
! grep -Eq '^(PrivateIPC|PrivateDevices|PrivateUsers|RestrictRealtime)=yes' "$unit" \
  || fail "a setting that takes the host's IPC, the ports or SCHED_FIFO away"
grep -qx 'segment_group kx29' "$conf" || fail "the installed kx29.conf does not set segment_group kx29"
echo "restart on failure, rate-limited; $(setting CapabilityBoundingSet); segment_group kx29"

echo "== postinst and postrm (addgroup, getent and systemctl are stand-ins)"
mkdir "$scratch/bin"
printf '#!/bin/sh\nexit 2\n' >"$scratch/bin/getent"
for tool in addgroup delgroup groupdel systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho %s "$@" >>"%s/calls"\n' "$tool" "$scratch" >"$scratch/bin/$tool"
done
chmod +x "$scratch"/bin/*
PATH=$scratch/bin:$PATH sh "$here/deb/postinst" configure
for step in remove purge; do PATH=$scratch/bin:$PATH sh "$here/deb/postrm" "$step"; done
grep -qx 'addgroup --system --quiet kx29' "$scratch/calls" || fail "postinst does not add the system group: $(cat "$scratch/calls")"
! grep -Eq '^(delgroup|groupdel)' "$scratch/calls" || fail "postrm removes the group"
echo "postinst: addgroup --system kx29; postrm keeps it"

command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is missing (Debian package systemd)"; exit 77; }
echo "== systemd-analyze verify"
# The unit's programs and directory as they lie in the scratch root.
sed "s|=/usr/bin/|=$scratch/root/usr/bin/|; s|=/etc/kx29|=$scratch/root/etc/kx29|" "$unit" >"$scratch/kx29d.service"
systemd-analyze verify --man=no "$scratch/kx29d.service" || fail "systemd-analyze verify"
echo "== systemd-analyze security"
(cd "$scratch/root" && systemd-analyze security --offline=true --root="$scratch/root" --threshold=25 \
  lib/systemd/system/kx29d.service | tail -1) || fail "exposure above 2.5"
echo "PASS"
