#!/bin/sh
# Builds the server and every benchmark, runs them one after the other and prints their figures,
# then a summary of the targets. Each program stops by itself; each is also cut off after 6 min.
#
#   bench/run_all.sh [--quick] [--server PATH] [--out NAME]
#     (build directory: $TOVI_BUILD_DIR, else build/; --server: another tovis to measure, e.g. an
#     older build kept aside; --out: the name of the figures file, output.txt by default)
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TOVI_BUILD_DIR:-$ROOT/build}
QUICK=""
SERVER=""
NAME=output
while [ $# -gt 0 ]; do
  case $1 in
    --quick) QUICK=--quick ;;
    --server) SERVER=$2; shift ;;
    --out) NAME=$2; shift ;;
    *) echo "usage: bench/run_all.sh [--quick] [--server PATH] [--out NAME]" >&2; exit 2 ;;
  esac
  shift
done

[ -f "$BUILD/build.ninja" ] || cmake -S "$ROOT" -B "$BUILD" -G Ninja || exit 1
ninja -C "$BUILD" benchmarks || exit 1
export TOVI_BIN_DIR="$BUILD/bin"

OUT="$BUILD/bench/$NAME.txt"
JSON="$BUILD/bench/$NAME.jsonl"
: >"$OUT"
: >"$JSON"
failed=0
for prog in echo_baseline server_relay_latency server_relay_throughput server_fanout \
            server_redelivery server_idle_cpu server_stall_attack server_handover_stall \
            server_kill_duplicates server_store_memory client_idle_cpu client_burst \
            client_mail_move client_find_filter; do
  exe="$BUILD/bench/$prog"
  if [ ! -x "$exe" ]; then
    echo "($prog is not built; skipped)"
    continue
  fi
  args=""
  case $prog in client_*) ;; *) args=$QUICK ;; esac
  case $prog in echo_baseline) ;; *) [ -n "$SERVER" ] && args="$args --server $SERVER" ;; esac
  echo
  echo "== $prog $args"
  # The figures go to the terminal and to the output file; the JSON lines to their own file.
  timeout 360 "$exe" $args >"$OUT.part" 2>&1
  rc=$?
  cat "$OUT.part"
  { echo "== $prog"; cat "$OUT.part"; } >>"$OUT"
  grep '^JSON ' "$OUT.part" | sed 's/^JSON //' >>"$JSON"
  if [ $rc -ne 0 ]; then
    echo "   $prog FAILED (exit code $rc)"
    failed=$((failed + 1))
  fi
done
rm -f "$OUT.part"

echo
echo "== summary (targets)"
awk '/^== /{prog=$2} / (MET|MISSED)$/{sub(/^ +/, ""); printf "  %-24s %s\n", prog, $0}' "$OUT"
echo
echo "figures: $OUT"
echo "JSON lines: $JSON"
[ $failed -eq 0 ]
