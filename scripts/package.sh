#!/usr/bin/env bash
# Builds the Debian packages libzucloud1, libzucloud-dev and zucloud-tools
# from a build configured for the /usr layout, and prints their paths.
#   scripts/package.sh [OUTPUT_DIR]     default: build/packages
# ZUCLOUD_PACKAGE_BUILD_DIR names the build tree (default build/package-build);
# it is kept, so a second run only rebuilds what changed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(realpath -m "${1:-$here/build/packages}")"
build="$(realpath -m "${ZUCLOUD_PACKAGE_BUILD_DIR:-$here/build/package-build}")"

"$here/scripts/install-deps.sh"

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DZUCLOUD_BUILD_TESTS=OFF -DZUCLOUD_BUILD_BENCH=OFF \
  -DZUCLOUD_FUZZ=OFF -DZUCLOUD_SANITIZE= >/dev/null
cmake --build "$build" -j "$(nproc)" --target zucloud zucloud-upload

mkdir -p "$out"
rm -f "$out"/*.deb
staging="$build/cpack"
rm -rf "$staging"
(cd "$build" && cpack -G DEB -B "$staging")
cp "$staging"/*.deb "$out"/
ls -1 "$out"/*.deb
