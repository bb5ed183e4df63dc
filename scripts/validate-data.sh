#!/usr/bin/env bash
# Validates what is installed beside the programs, without building a package: the desktop files
# and the autostart entry (desktop-file-validate), both AppStream metainfo files (appstreamcli,
# offline), the service unit (systemd-analyze verify, with the build's tovis standing in for the
# installed one, and its exposure rating, which must stay at 2.5 or lower) and every man page
# (groff with every warning, as man renders it in a UTF-8 locale). Exits non-zero when anything
# fails. Called by scripts/test.sh; BUILD_DIR names the build whose tovis stands in.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
passed=0

# check WHAT COMMAND...: runs it; its output is shown only when it fails (or says anything on
# stderr when the tool reports warnings that way).
check() {
  local what=$1
  shift
  if "$@" >"$scratch/out" 2>&1; then
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    sed 's/^/  /' "$scratch/out"
    failed=$((failed + 1))
  fi
}
quiet() { # COMMAND...: fails when the command fails or prints anything
  "$@" >"$scratch/said" 2>&1 || { cat "$scratch/said"; return 1; }
  [ ! -s "$scratch/said" ] || { cat "$scratch/said"; return 1; }
}

for entry in "$here"/data/*.desktop; do
  check "$(basename "$entry")" desktop-file-validate --no-hints "$entry"
done

version=$(sed -n '1s/^tovi (\([0-9.]*\).*/\1/p' "$here/debian/changelog")
for template in "$here"/data/*.metainfo.xml.in; do
  metainfo="$scratch/$(basename "$template" .in)"
  sed -e "s/@PROJECT_VERSION@/$version/" -e "s/@TOVI_RELEASE_DATE@/2000-01-01/" "$template" \
    >"$metainfo"
  check "$(basename "$metainfo")" appstreamcli validate --no-net --pedantic "$metainfo"
done

# The unit as installed, its tovis replaced by the build's (or by a program that is always there).
tovis="$build/bin/tovis"
[ -x "$tovis" ] || tovis=$(command -v true)
mkdir -p "$scratch/unit"
sed "s|@TOVI_BINDIR@/tovis|$tovis|" "$here/data/tovis.service.in" >"$scratch/unit/tovis.service"
check "tovis.service (verify)" quiet systemd-analyze verify --man=no "$scratch/unit/tovis.service"
check "tovis.service (exposure 2.5 or lower)" systemd-analyze security --offline=true \
  --threshold=25 "$scratch/unit/tovis.service"

for page in "$here"/docs/man/*.1; do
  check "$(basename "$page")" quiet groff -k -man -Tutf8 -ww -z "$page"
done

echo "data files: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
