#!/usr/bin/env bash
# Sets everything up (packages, configure, build) and runs the whole test suite through CTest,
# then runs it again built with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/),
# then fuzzes each fuzz target for a few seconds. Exits non-zero when anything fails. Extra
# arguments go to both ctest runs (for instance -R Server).
#
#   TOVI_SKIP_SANITIZERS=1   only the plain run
#   TOVI_FUZZ_SECONDS=N      seconds per fuzz target (default 5; 0 skips fuzzing)
#   TOVI_PACKAGE_CHECK=1     also build and check the Debian packages (scripts/package.sh --check,
#                            about 10 minutes on two cores, so not by default)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR" 2>/dev/null || true
# Most tests wait on sockets and clocks rather than the CPU, so they run side by side.
ctest --test-dir "$here/build" --output-on-failure --timeout 300 -j "${TEST_JOBS:-6}" "$@"
# The desktop files, metainfo, service unit and man pages that `cmake --install` puts in place.
"$here/scripts/validate-data.sh"
[ "${TOVI_PACKAGE_CHECK:-0}" != 1 ] || "$here/scripts/package.sh" --check
[ "${TOVI_SKIP_SANITIZERS:-0}" = 1 ] && exit 0

echo "== the same suite under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan)"
# Light optimisation and line tables only: the tree builds faster and reports still name lines.
# Only the programs and the test programs are built (not the benchmarks).
cmake -S "$here" -B "$here/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Asan \
  -DCMAKE_CXX_FLAGS_ASAN="-O1 -g1" -DTOVI_SANITIZE=ON ${CMAKE_ARGS:-} >/dev/null
targets=$(ninja -C "$here/build-asan" -t targets all |
          grep -oE '^(tests/tovi_[a-z_]+_tests|bin/tovi[sc]): ' | tr -d ': ' | sort -u)
# shellcheck disable=SC2086
cmake --build "$here/build-asan" -j "$(nproc)" --target $targets
# Leaks are checked, except inside Qt and the libraries under it (see scripts/lsan.supp).
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$here/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$here/build-asan" --output-on-failure --timeout 600 -j "${TEST_JOBS:-6}" "$@"

seconds=${TOVI_FUZZ_SECONDS:-5}
if [ "$seconds" != 0 ]; then
  echo "== each fuzz target for ${seconds}s"
  unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
  for target in $("$here/scripts/fuzz.sh"); do
    "$here/scripts/fuzz.sh" "$target" "$seconds"
  done
fi
