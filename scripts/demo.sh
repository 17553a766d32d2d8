#!/usr/bin/env bash
# The main job on the simulated board: builds everything, starts kx29d-sim in a
# scratch directory (run/demo) with the example configuration and generated
# FPGA images, shows it serving through kx29ctl, and stops it cleanly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh >/dev/null

bin=$PWD/build/bin
run=$PWD/run/demo
export KX29_KEY=${KX29_KEY:-demo}   # a key of its own: never disturbs a real daemon
export KX29_SIM=${KX29_SIM-realtime}  # frame rates and exposures as on the hardware

rm -rf "$run"
mkdir -p "$run/spe"
cp examples/kx29.conf "$run/"
while read -r name sum; do
  "$bin/kx29-mkspe" "$run/spe/$name" 3854 "$sum"
done <<'IMAGES'
fmta.spe 7302
fmtb.spe 8977
lexpa.spe 8109
lexpb.spe 10593
IMAGES

(cd "$run" && exec "$bin/kx29d-sim" >daemon.out 2>daemon.err) &
daemon=$!
cleanup() {
  kill -INT "$daemon" 2>/dev/null || true
  ipcrm -M "0x$(printf '%s' "$KX29_KEY" | od -An -tx4 | tr -d ' ')" 2>/dev/null || true
}
trap cleanup EXIT

for _ in $(seq 50); do
  "$bin/kx29ctl" status >/dev/null 2>&1 && break
  sleep 0.1
done

echo "== daemon started (pid $daemon), key '$KX29_KEY', working directory $run"
"$bin/kx29ctl" status
echo
echo "== a 10-frame average of channel 0, saved as FITS and PNG"
"$bin/kx29ctl" acquire -c 0 --frames 10 -o "$run/average.fits" -o "$run/average.png"
echo
echo "== a 10 s long exposure on the long-exposure camera (channel 1)"
"$bin/kx29ctl" acquire -c 1 --exposure 10 -o "$run/long.fits"
echo
echo "== channel 2 switched to format 2, then a 256 x 256 window of it"
"$bin/kx29ctl" acquire -c 2 --format 2 --frames 4 -o "$run/format2.png"
"$bin/kx29ctl" acquire -c 2 --window 128,128,256,256 --frames 4 -o "$run/window.png"
echo
"$bin/kx29ctl" status
echo
echo "== stopping the daemon with SIGINT"
kill -INT "$daemon"
status=0
wait "$daemon" || status=$?
trap - EXIT
ipcrm -M "0x$(printf '%s' "$KX29_KEY" | od -An -tx4 | tr -d ' ')" 2>/dev/null || true
echo "daemon exit status: $status (2 = SIGINT, clean)"
echo "== what the daemon printed (last lines)"
tail -n 8 "$run/daemon.out"
echo "== files written"
ls -l "$run"/*.fits "$run"/*.png
