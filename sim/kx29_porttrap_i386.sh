#!/usr/bin/env bash
# The i386 hardware daemon on the simulated board: builds kx29d and the port
# trap with -m32 into BUILD/i386 and checks that the trapped 32-bit kx29d
# grabs the same pixels as kx29d-sim (seeded, still scenes), both read out
# with kx29ctl. BUILD is a configured x86_64 build directory holding kx29d-sim,
# kx29ctl and kx29-mkspe. Without a working g++ -m32 it says so and succeeds.
# The board model is every sim/kx29_sim_*.cpp, as in the kx29sim library.
# Usage: sim/kx29_porttrap_i386.sh [BUILD]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=$build/i386
mkdir -p "$out"

if ! echo 'int main() { return 0; }' | g++ -m32 -x c++ - -o "$out/probe" 2>/dev/null; then
  echo "i386: skipped, no -m32 toolchain (g++-multilib)"
  exit 0
fi

flags=(-m32 -std=c++20 -O2 -Wall -Wextra -Idaemon -I"$build/generated")
d=daemon
g++ "${flags[@]}" -DKX29_BOARD_HW -o "$out/kx29d" \
  $d/kx29_main.cpp $d/kx29_comn.cpp $d/kx29_init.cpp $d/kx29_plat_hw.cpp $d/kx29_key.cpp $d/kx29_pid.cpp &
daemon=$!
g++ "${flags[@]}" -Isim -DKX29_BOARD_SIM -fPIC -shared -o "$out/kx29porttrap.so" \
  sim/kx29_sim_*.cpp sim/kx29_porttrap.cpp sim/kx29_porttrap_decode.cpp \
  -ldl -Wl,-z,defs -Wl,--version-script=sim/kx29_porttrap.map
wait "$daemon"
[ "$(od -An -tx1 -j4 -N1 "$out/kx29d" | tr -d ' ')" = 01 ] || { echo "i386: $out/kx29d is not a 32-bit program"; exit 1; }

run=$(mktemp -d /tmp/kx29-i386-XXXXXX)
export KX29_KEY=i386 KX29_SIM=seed=386,still
segment=0x$(printf '%s' "$KX29_KEY" | od -An -tx4 | tr -d ' ')
pid=
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  ipcrm -M "$segment" 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT
mkdir -p "$run/spe"
# A 32-bit process takes its signals through the kernel's compatibility path,
# about ten times slower than a 64-bit one: small formats keep this short.
sed -E 's/^(chan[0-9]\.cols[0-9]) .*/\1 128/; s/^(chan[0-9]\.lines[0-9]) .*/\1 96/' examples/kx29.conf >"$run/kx29.conf"
for image in fmta.spe:7302 fmtb.spe:8977 lexpa.spe:8109 lexpb.spe:10593; do
  "$build/bin/kx29-mkspe" "$run/spe/${image%:*}" 3854 "${image#*:}"
done

# Starts a daemon on a fresh segment, saves one 2-frame sum of channel 0 as
# $1.pgm, stops it with SIGTERM and checks its exit status.
grab() {
  local name=$1
  shift
  ipcrm -M "$segment" 2>/dev/null || true
  (cd "$run" && exec env "$@" >"$name.out" 2>"$name.err") &
  pid=$!
  for _ in $(seq 100); do
    grep -q 'set_ref_lev' "$run/$name.out" 2>/dev/null && break
    sleep 0.1
  done
  "$build/bin/kx29ctl" acquire -c 0 --frames 2 -o "$run/$name.pgm" >/dev/null
  kill -TERM "$pid"
  local status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" = 15 ] || { echo "i386: $name ended with status $status"; cat "$run/$name.err"; exit 1; }
}
start=$(date +%s%N)
grab sim "$build/bin/kx29d-sim"
# As root, without the right to open I/O ports: should the trap fail to load,
# kx29d's ioperm is refused instead of opening this machine's ports.
guard=()
[ "$(id -u)" = 0 ] && guard=(setpriv --bounding-set -sys_rawio)
grab trapped "${guard[@]}" env LD_PRELOAD="$out/kx29porttrap.so" "$out/kx29d"
if ! cmp -s "$run/sim.pgm" "$run/trapped.pgm"; then
  echo "i386: the trapped 32-bit kx29d grabbed other pixels than kx29d-sim"
  exit 1
fi
echo "i386: trapped 32-bit kx29d grabs the same pixels as kx29d-sim ($(( ($(date +%s%N) - start) / 1000000 )) ms)"
