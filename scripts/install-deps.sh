#!/usr/bin/env bash
# Installs everything the build, the tests, the demo, the benchmarks, the
# API reference (doxygen) and the Debian packages (dpkg-dev and file for
# CPack's dpkg-shlibdeps) need on a fresh Debian 12 machine (the Python
# storage SDK restores the encrypted blobs crypto_test stores): Debian packages
# with apt-get and Azurite from the npm lock file. Safe to run again.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format clang-tidy
  libcurl4-openssl-dev libxerces-c-dev nlohmann-json3-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-azure-storage openssl curl nodejs npm binutils
  dpkg-dev file doxygen
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node and npm may come from outside Debian's packages; then keep them.
if command -v node >/dev/null && command -v npm >/dev/null; then
  missing=("${missing[@]/nodejs}"); missing=("${missing[@]/npm}")
fi
trimmed=()
for p in "${missing[@]}"; do [ -n "$p" ] && trimmed+=("$p"); done
if [ ${#trimmed[@]} -gt 0 ]; then
  echo "Installing Debian packages: ${trimmed[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${trimmed[@]}"
fi

if [ ! -x "$here/emulator/node_modules/.bin/azurite" ]; then
  echo "Installing Azurite from emulator/package-lock.json"
  (cd "$here/emulator" && npm ci --no-audit --no-fund --loglevel=error)
fi
