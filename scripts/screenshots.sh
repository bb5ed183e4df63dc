#!/usr/bin/env bash
# Takes the client's screenshots for the documentation (run by hand, not by CI): under Xvfb with
# a tray (trayer) and a notification daemon (dunst, on a session bus of its own), the real server
# and two clients exchange mail, and the main window with mail in both boxes, the find bar, the
# destination, compose, view, waiting, registration and user-settings dialogs, the tray icon (plain
# and with the unread count) and a desktop notification are saved as docs/screenshots/client-*.png.
#
#   BUILD_DIR    build directory (default: build)
#   SHOT_DISPLAY X display number for Xvfb (default: 13)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
display=:${SHOT_DISPLAY:-13}
out="$here/docs/screenshots"
mkdir -p "$out"

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tovis tovic_screenshots

runtime=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$runtime"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do
  DISPLAY=$display xprop -root >/dev/null 2>&1 && break
  sleep 0.1
done
DISPLAY=$display trayer --edge bottom --align right --widthtype pixel --width 120 --height 24 \
  --transparent false >/dev/null 2>&1 &
pids+=($!)
# The notification daemon on a private session bus, so that the desktop's own one is left alone.
dbus-daemon --session --nofork --print-address=1 >"$runtime/bus" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 50); do
  [ -s "$runtime/bus" ] && break
  sleep 0.1
done
export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$runtime/bus")
DISPLAY=$display dunst >/dev/null 2>&1 &
pids+=($!)
sleep 1

DISPLAY=$display QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$runtime SCREENSHOT_DIR=$out \
  TOVI_BIN_DIR="$build/bin" \
  "$build/bin/tovic_screenshots"
ls -l "$out"/client-*.png
