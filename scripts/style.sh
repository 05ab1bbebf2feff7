#!/usr/bin/env bash
# Style checks of the C++ code, as scripts/test.sh runs them:
#  - clang-format (.clang-format) in check mode over every C++ file the
#    project keeps: any file that is not formatted fails the check;
#  - clang-tidy (.clang-tidy) over the library's own sources, with the
#    compile commands of the build in $1: a finding of the checks held as
#    errors fails; functions past 60 lines (readability-function-size) are
#    listed, and more than two of them fail.
#   scripts/style.sh BUILD_DIR          check
#   scripts/style.sh --fix              format every file in place
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
build="${1:?usage: scripts/style.sh BUILD_DIR | --fix}"
status=0
unformatted=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "Not formatted (scripts/style.sh --fix): ${unformatted[*]}"
  status=1
else
  echo "clang-format: ${#files[@]} files formatted"
fi

mapfile -t sources < <(git ls-files 'platform/*.cpp' 'session/*.cpp' 'folder/*.cpp' 'blob/*.cpp')
report=$(printf '%s\n' "${sources[@]}" |
         xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>/dev/null || true)
long=$(grep -c 'readability-function-size' <<<"$report" || true)
errors=$(grep -E 'error: ' <<<"$report" | grep -vc 'readability-function-size' || true)
if [ "$errors" -gt 0 ]; then
  grep -E 'error: ' <<<"$report" | grep -v 'readability-function-size'
  status=1
fi
echo "clang-tidy: $errors finding(s); $long function(s) over 60 lines (at most 2 allowed):"
[ "$long" -gt 2 ] && status=1
grep 'readability-function-size' <<<"$report" | sed -E "s|^$here/||; s/: (error|warning): function '([^']*)'.*/: \2/" || true
exit $status
