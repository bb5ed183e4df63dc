#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the screenshots need (only what is
# missing), then configures and builds into build/ (or $BUILD_DIR): everything, or only the targets
# named as arguments. Safe to run again; asks nothing. (clang and its runtime libraries build the
# fuzz targets, see scripts/fuzz.sh; desktop-file-utils, appstream, systemd and groff-base check
# the installed data files, see scripts/validate-data.sh; dunst and dbus-daemon run a notification
# service for the desktop notification test and the screenshots.)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
packages=(cmake g++ ninja-build pkgconf libgtest-dev libgmock-dev qt6-base-dev libqt6svg6
          libsystemd-dev xvfb xauth fonts-ipafont-gothic imagemagick trayer clang libclang-rt-14-dev
          desktop-file-utils appstream systemd groff-base dunst dbus-daemon)
"$here/scripts/install-packages.sh" "${packages[@]}"
build_type=${BUILD_TYPE:-RelWithDebInfo}
build=${BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" ${CMAKE_ARGS:-}
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
