#!/usr/bin/env bash
# Starts the whole system on this machine: builds the two programs (not the tests or the
# benchmarks), runs the server without a window in the background and the client against it.
# Closing the client stops the server this script started.
#
# Files live under ${TOVI_CONFIG_DIR:-~/.config/tovi}: the server's in server/, the client's in
# client/. A first start of the client finds ADDRESS=127.0.0.1 and the server's port already in
# its Tovic.ini, so a newcomer only picks a name, a group and a mail directory.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

# The Debian packages (only what is missing is installed), then the two programs alone.
build="${BUILD_DIR:-$here/build}"
BUILD_DIR="$build" "$here/scripts/setup.sh" tovis tovic

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "start.sh: no display for the client (set DISPLAY); the programs are built in $build/bin" >&2
  exit 2
fi

base=${TOVI_CONFIG_DIR:-${XDG_CONFIG_HOME:-$HOME/.config}/tovi}
mkdir -p "$base/server" "$base/client"
port=""
if [ -f "$base/server/Tovis.ini" ]; then
  port=$(sed -n 's/^[[:space:]]*PORT[[:space:]]*=[[:space:]]*\([0-9][0-9]*\).*/\1/p' \
    "$base/server/Tovis.ini" | head -n 1)
fi
port=${port:-6998}

# The client's first start: the server on this machine.
if [ ! -e "$base/client/Tovic.ini" ]; then
  printf '[SERVER]\nADDRESS=127.0.0.1\nPORT=%s\n' "$port" >"$base/client/Tovic.ini"
fi

"$build/bin/tovis" --headless --config-dir "$base/server" &
server=$!
stop_server() {
  if kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
}
trap stop_server EXIT

# Wait until the server listens (or has ended: the port may be taken by a server already running).
for _ in $(seq 1 50); do
  kill -0 "$server" 2>/dev/null || break
  if command -v ss >/dev/null; then
    ss -ltnH "sport = :$port" 2>/dev/null | grep -q . && break
  else
    sleep 0.5 && break
  fi
  sleep 0.1
done
if ! kill -0 "$server" 2>/dev/null; then
  echo "start.sh: the server did not start (is port $port in use?); starting the client anyway" >&2
fi

status=0
"$build/bin/tovic" --config-dir "$base/client" || status=$?
exit "$status"
