#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer, the daemon's sources on the test board) into
# build-fuzz/ and runs each for a bounded time, starting from the seed corpus
# in fuzz/corpus/<target>/. New inputs go to build-fuzz/corpus/<target>/, so
# the repository's corpus stays as it is.
#
#   scripts/fuzz.sh                 60 s per target
#   scripts/fuzz.sh --short         25 s per target (CI)
#   scripts/fuzz.sh --time N [T..]  N s per target, only targets T..
#   KX29_SOAK=1 scripts/fuzz.sh     600 s per target
#
# Prints the executions of each target; exits non-zero when a target crashes,
# with the reproducer left in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
[ "${KX29_SOAK:-0}" = 1 ] && seconds=600
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --short) seconds=25 ;;
    --time) seconds="$2"; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_conf fuzz_readout)

cxx=${CLANGXX:-clang++}
root=$(pwd)
out=$root/build-fuzz
mkdir -p "$out"
# Scratch directory of the targets that write files (in memory when possible).
scratch=$(mktemp -d -p "$( [ -w /dev/shm ] && echo /dev/shm || echo /tmp )" kx29-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
common=(-std=c++20 -g -O2 -Wall -Wextra -fno-sanitize-recover=all -fno-omit-frame-pointer
        -DKX29_BOARD_TEST -DKX29_NO_MAIN -Idaemon -Itests/board)
flags=("${common[@]}" -fsanitize=fuzzer,address,undefined)
daemon_sources=(daemon/kx29_main.cpp daemon/kx29_comn.cpp daemon/kx29_init.cpp daemon/kx29_key.cpp daemon/kx29_pid.cpp)

# The test board is the fuzzers' fixture, not code under test: it gets the
# sanitizers but no coverage feedback, which would cost more than the
# daemon's own work on every port access.
"$cxx" "${common[@]}" -fsanitize=address,undefined -c tests/board/kx29_test_board.cpp -o "$out/kx29_test_board.o"

status=0
for t in "${targets[@]}"; do
  echo "== $t: build"
  "$cxx" "${flags[@]}" "fuzz/$t.cpp" "${daemon_sources[@]}" "$out/kx29_test_board.o" -o "$out/$t"
  mkdir -p "$out/corpus/$t" "$out/artifacts/$t"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  echo "== $t: ${seconds} s"
  log="$out/$t.log"
  if (cd "$out/artifacts/$t" && \
      KX29_FUZZ_DIR="$scratch" ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$out/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
        -print_final_stats=1 "${dict[@]}" "$out/corpus/$t" "$root/fuzz/corpus/$t") >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    corpus=$(ls "$out/corpus/$t" | wc -l)
    echo "$t: ok, $execs executions in $seconds s, working corpus $corpus inputs"
  else
    status=1
    echo "$t: FAILED, see $log" >&2
    grep -E 'ERROR|runtime error|fuzz_|Test unit written|SUMMARY' "$log" | head -20 >&2 || true
  fi
done
exit $status
