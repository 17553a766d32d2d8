#!/usr/bin/env bash
# Builds the Debian package of a build directory and proves it works without
# touching the machine: unpacks it into a scratch root, runs the simulated
# daemon from the packaged /etc/kx29 layout with kx29-mkspe images, takes one
# acquisition with the packaged kx29ctl, renders every manual page, and runs
# lintian (errors fail, warnings are shown).
#
#   scripts/package-test.sh [BUILD_DIR [VERSION]]   (default: build, its CMake version)
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(realpath "${1:-build}")
version=${2:-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")}
scratch=$(mktemp -d /tmp/kx29-package-XXXXXX)
root=$scratch/root
# A key of its own ("d" and three base-36 digits), never a real daemon's.
digits=0123456789abcdefghijklmnopqrstuvwxyz
n=$(( $$ % 46656 ))
key=d${digits:n/1296:1}${digits:n/36%36:1}${digits:n%36:1}
daemon=

fail() { echo "FAIL: $*" >&2; exit 1; }
cleanup() {
  [ -z "$daemon" ] || kill -KILL "$daemon" 2>/dev/null || true
  ipcrm -M "0x$(printf '%s' "$key" | od -An -tx4 | tr -d ' ')" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== cpack -G DEB ($build, version $version)"
(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; fail "cpack"; }
debs=("$scratch"/out/kx29d_"$version"_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single kx29d_${version}_*.deb: $(ls "$scratch/out")"
deb=${debs[0]}
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, Installed-Size $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
dpkg-deb -f "$deb" Depends | grep -q 'libcfitsio' || fail "Depends lacks the linked libraries"
dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles | grep -qx /etc/kx29/kx29.conf \
  || fail "/etc/kx29/kx29.conf is not a conffile"

echo "== unpacked into $root"
dpkg-deb -x "$deb" "$root"
etc=$root/etc/kx29
bin=$root/usr/bin
unit=$root/lib/systemd/system/kx29d.service
wanted=("$bin/kx29d-sim" "$bin/kx29ctl" "$bin/kx29-mkspe" "$etc/kx29.conf" "$unit")
case "$(uname -m)" in x86_64|i?86) wanted+=("$bin/kx29d") ;; esac
for f in "${wanted[@]}"; do [ -e "$f" ] || fail "missing ${f#"$root"}"; done
grep -qx 'ExecStart=/usr/bin/kx29d' "$unit" || fail "the unit does not run /usr/bin/kx29d"
grep -qx 'WorkingDirectory=/etc/kx29' "$unit" || fail "the unit does not run from /etc/kx29"

# Every packaged program that has --version gives the project's version.
for program in kx29ctl kx29d-sim kx29d; do
  [ -x "$bin/$program" ] || continue
  got=$("$bin/$program" --version)
  [ "$got" = "$program $version" ] || fail "$program --version says '$got', not '$program $version'"
  echo "$program --version: $got"
done

# The Python module, when built, must sit where Debian's python3 looks.
modules=$(find "$root/usr/lib" -path '*python3*' -name 'kx29*.so' 2>/dev/null || true)
if [ -n "$modules" ]; then
  pydir=$root/usr/lib/python3/dist-packages
  [ "$(dirname "$modules")" = "$pydir" ] || fail "Python module outside /usr/lib/python3/dist-packages: ${modules#"$root"}"
  PYTHONPATH=$pydir /usr/bin/python3 -c 'import kx29' || fail "the packaged Python module does not import"
fi

echo "== the simulated daemon from the packaged layout (key $key)"
# The FPGA images the packaged configuration names, made to its sizes and sums.
mkdir "$etc/spe"
awk '$1 ~ /^chan[0-3]\.spe[12]\.(name|size|sum)$/ {
       v[substr($1, 1, 10), substr($1, 12)] = $2; images[substr($1, 1, 10)] }
     END { for (i in images) print v[i, "name"], v[i, "size"], v[i, "sum"] }' "$etc/kx29.conf" | sort -u |
  while read -r name size sum; do "$bin/kx29-mkspe" "$etc/spe/$name" "$size" "$sum"; done
export KX29_KEY=$key
(cd "$etc" && "$bin/kx29d-sim" --check-config) || fail "kx29d-sim --check-config rejects the packaged layout"
(cd "$etc" && exec "$bin/kx29d-sim" >"$scratch/daemon.out" 2>"$scratch/daemon.err") &
daemon=$!
for _ in $(seq 100); do
  "$bin/kx29ctl" status >/dev/null 2>&1 && break
  kill -0 "$daemon" 2>/dev/null || { cat "$scratch/daemon.err"; fail "kx29d-sim ended at start"; }
  sleep 0.1
done
"$bin/kx29ctl" acquire -c 0 --frames 3 -o "$scratch/image.fits" || fail "kx29ctl acquire"
fitsverify -q "$scratch/image.fits" | grep -q 'verification OK' || fail "the FITS file does not verify"
kill -TERM "$daemon"
status=0
wait "$daemon" || status=$?
daemon=
[ "$status" -eq 15 ] || { cat "$scratch/daemon.err"; fail "kx29d-sim ended with $status on SIGTERM, not 15"; }
echo "one acquisition saved and verified; daemon ended with 15 on SIGTERM"

echo "== manual pages"
pages=("$root"/usr/share/man/man*/*)
required=(man8/kx29d.8.gz man8/kx29d-sim.8.gz man1/kx29ctl.1.gz man1/kx29-mkspe.1.gz)
[ -e "$bin/indi_kx29_ccd" ] && required+=(man1/indi_kx29_ccd.1.gz)
for p in "${required[@]}"; do [ -e "$root/usr/share/man/$p" ] || fail "missing manual page $p"; done
for page in "${pages[@]}"; do
  warnings=$(MANWIDTH=80 man -l --warnings -E UTF-8 "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "${page#"$root"}: $warnings"
done
echo "${#pages[@]} pages render without warnings"

echo "== lintian"
lintian --display-info "$deb" >"$scratch/lintian.out" 2>&1 || true
cat "$scratch/lintian.out"
! grep -q '^E:' "$scratch/lintian.out" || fail "lintian reports errors"
echo "PASS"
