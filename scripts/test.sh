#!/usr/bin/env bash
# Sets everything up (packages, configure, build) and runs the whole test suite through CTest.
# Exits non-zero when any test fails. Extra arguments go to ctest (for instance -R Server).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
# Most tests wait on sockets and clocks rather than the CPU, so they run side by side.
ctest --test-dir "$here/build" --output-on-failure --timeout 300 -j "${TEST_JOBS:-6}" "$@"
