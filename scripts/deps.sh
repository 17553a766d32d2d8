#!/usr/bin/env bash
# Installs the Debian packages the build, tests and tools need. As root it runs
# apt-get; otherwise it prints the apt-get line to run.
set -euo pipefail

packages=(cmake ninja-build g++ clang pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libcfitsio-dev libpng-dev libcli11-dev fitsverify g++-multilib libclang-rt-14-dev
          libindi-dev indi-bin libboost-dev nlohmann-json3-dev libturbojpeg0-dev pybind11-dev python3-dev python3-numpy python3-pytest python3-astropy python3-ccdproc
          chromium chromium-driver python3-selenium lintian man-db dpkg-dev file)
[ "$(uname -m)" = x86_64 ] || packages=("${packages[@]/g++-multilib}")

missing=()
for p in "${packages[@]}"; do
  [ -n "$p" ] || continue
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "Missing packages; install them with:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
