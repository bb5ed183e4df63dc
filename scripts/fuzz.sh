#!/usr/bin/env bash
# libFuzzer targets of the server and the client (fuzz/*_fuzz.cpp), built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/.
#
#   scripts/fuzz.sh                   lists the targets, one per line
#   scripts/fuzz.sh TARGET SECONDS    builds TARGET and fuzzes it for SECONDS, starting from its
#                                     committed seeds in fuzz/corpus/TARGET; fails on any finding
#                                     (the input that found it is left in build-fuzz/findings/)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -eq 0 ]; then
  for f in "$here"/fuzz/*_fuzz.cpp; do basename "$f" .cpp; done
  exit 0
fi
target=$1
seconds=${2:-10}
if [ ! -f "$here/fuzz/$target.cpp" ]; then
  echo "no fuzz target $target; the targets are:" >&2
  "$0" >&2
  exit 2
fi
build=${TOVI_FUZZ_BUILD_DIR:-$here/build-fuzz}
cmake -S "$here/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target "$target" >/dev/null
# New inputs go to a scratch corpus; the committed seeds are only read.
work=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
export TOVI_FUZZ_DIR="$work/files"
mkdir -p "$build/findings"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
  -artifact_prefix="$build/findings/$target-" -print_final_stats=1 \
  "$work/corpus" "$here/fuzz/corpus/$target" 2>"$work/log" || {
  tail -60 "$work/log" >&2
  echo "fuzz: $target found a fault (see above and $build/findings/)" >&2
  exit 1
}
grep -E '^(stat::number_of_executed_units|Done)' "$work/log" || true
echo "fuzz: $target ran ${seconds}s without a finding"
