#!/usr/bin/env bash
# Builds the API reference of the public headers with Doxygen
# (docs/Doxyfile) into <out>/html (default build/apidoc). Fails on any
# Doxygen warning, an undocumented public member or parameter included.
#   scripts/apidoc.sh [out]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$here/build/apidoc}"
command -v doxygen >/dev/null || { echo "apidoc: doxygen is not installed (bash scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$out"
log="$out/doxygen-warnings.txt"
cd "$here"
if ! ZUCLOUD_APIDOC_OUT="$out" doxygen docs/Doxyfile 2>"$log"; then
  cat "$log" >&2
  echo "apidoc: doxygen failed (warnings above)" >&2
  exit 1
fi
if [ -s "$log" ]; then cat "$log" >&2; exit 1; fi
echo "API reference: $out/html/index.html"
