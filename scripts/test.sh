#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (--sanitize: under
# AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh "$@"
dir=build
[ "${1:-}" = "--sanitize" ] && dir=build-asan
ctest --test-dir "$dir" --output-on-failure -j2
