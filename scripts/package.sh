#!/usr/bin/env bash
# Builds the Debian packages tovi-server and tovi-client from this tree and leaves the .deb files
# in build/packages/ (installs the packaging tools when missing). The build runs in a copy of the
# tree under build/packages/src/, so the tree itself stays clean.
#
#   scripts/package.sh           build the packages
#   scripts/package.sh --check   build them, then: lintian (every tag but an overridden one and
#                                the informational ones fails), each package's contents against
#                                the list of files that must be in it, and both packages unpacked
#                                into a scratch root (dpkg --root) where `tovis --version` and
#                                `tovic --version` must run
#
# CMAKE_ARGS goes to the package's configure step (a compiler cache, for instance).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
check=0
case "${1:-}" in
  --check) check=1 ;;
  "") ;;
  *) echo "usage: scripts/package.sh [--check]" >&2; exit 2 ;;
esac

tools=(debhelper dpkg-dev fakeroot lintian cmake ninja-build pkgconf g++ libsystemd-dev
       libgtest-dev libgmock-dev qt6-base-dev)
"$here/scripts/install-packages.sh" "${tools[@]}"

out="$here/build/packages"
version=$(dpkg-parsechangelog -l "$here/debian/changelog" -SVersion)
src="$out/src/tovi-$version"
rm -rf "$out"
mkdir -p "$src"
# The tree as it is (committed or not), without builds and version control.
tar -C "$here" --exclude=./.git --exclude='./build' --exclude='./build-*' --exclude=./.cache \
  -cf - . | tar -C "$src" -xf -
echo "== dpkg-buildpackage (log: build/packages/build.log)"
if ! (cd "$src" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=$(nproc)" \
      TOVI_PACKAGE_CMAKE_ARGS="${CMAKE_ARGS:-}" dpkg-buildpackage -b -us -uc) \
      >"$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  echo "package.sh: the package build failed (build/packages/build.log)" >&2
  exit 1
fi
mv "$out/src"/*.deb "$out/"
mv "$out/src"/*.changes "$out/src"/*.buildinfo "$out/" 2>/dev/null || true
rm -rf "$out/src"
ls -1 "$out"/*.deb
[ "$check" = 1 ] || exit 0

failed=0
echo "== lintian"
# Errors and warnings fail; each one that stays is overridden with its reason in debian/.
if ! lintian --fail-on error,warning --tag-display-limit 0 "$out"/*.deb; then
  failed=1
fi

echo "== contents"
# Every file that must be in each package (tovisctl and its page too, once they are built).
server_files=(./usr/bin/tovis ./usr/lib/tovi/tovis ./usr/lib/tovi/libtovis_window.so
  ./lib/systemd/system/tovis.service ./usr/lib/sysusers.d/tovis.conf
  ./usr/share/man/man1/tovis.1.gz ./usr/share/applications/tovis.desktop
  ./usr/share/metainfo/org.tovi.tovis.metainfo.xml
  ./usr/share/icons/hicolor/scalable/apps/tovis.svg ./usr/share/doc/tovi-server/copyright)
client_files=(./usr/bin/tovic ./usr/lib/tovic/tovic ./usr/lib/tovic/libtovic_window.so
  ./usr/share/man/man1/tovic.1.gz
  ./usr/share/applications/tovic.desktop ./etc/xdg/autostart/tovic.desktop
  ./usr/share/metainfo/org.tovi.tovic.metainfo.xml
  ./usr/share/icons/hicolor/scalable/apps/tovic.svg ./usr/share/doc/tovi-client/copyright)
if [ -d "$here/server/ctl" ]; then
  server_files+=(./usr/bin/tovisctl)
  [ ! -f "$here/docs/man/tovisctl.1" ] || server_files+=(./usr/share/man/man1/tovisctl.1.gz)
fi
contains() { # DEB FILE...
  local deb=$1 listing
  shift
  listing=$(dpkg-deb --contents "$deb" | awk '{print $6}')
  for f in "$@"; do
    if ! grep -qxF "$f" <<<"$listing"; then
      echo "missing from $(basename "$deb"): $f"
      failed=1
    fi
  done
}
contains "$out"/tovi-server_*.deb "${server_files[@]}"
contains "$out"/tovi-client_*.deb "${client_files[@]}"
dpkg-deb --field "$out"/tovi-server_*.deb Depends | grep -qi qt &&
  { echo "tovi-server depends on Qt (it should only recommend it)"; failed=1; }

echo "== installed into a scratch root"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# Unpacked only: the maintainer scripts (user, service) belong to a real system.
dpkg --root="$root" --force-depends --force-not-root --log=/dev/null \
  --unpack "$out"/tovi-server_*.deb "$out"/tovi-client_*.deb >/dev/null
for program in tovis tovic; do
  said=$("$root/usr/bin/$program" --version 2>&1) || true
  if [ "$said" = "$program ${version%%-*}" ]; then
    echo "$program --version: $said"
  else
    echo "$program --version in the scratch root said: $said"
    failed=1
  fi
done

[ "$failed" = 0 ] && echo "package check: passed" || echo "package check: FAILED"
exit "$failed"
