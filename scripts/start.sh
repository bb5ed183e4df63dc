#!/usr/bin/env bash
# Sets everything up and starts the system on this machine: the server without a window,
# keeping its files in ${TOVI_CONFIG_DIR:-~/.config/tovi}/server. Ctrl+C stops it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
base=${TOVI_CONFIG_DIR:-${XDG_CONFIG_HOME:-$HOME/.config}/tovi}
exec "$here/build/bin/tovis" --headless --config-dir "$base/server"
