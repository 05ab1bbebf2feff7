#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in build/fuzz and runs
# each for the given number of seconds on a temporary copy of its seed corpus
# in fuzz/corpus/<target>/ (the repository's corpus is never written).
#
#   scripts/fuzz.sh [seconds-per-target]     (default 600)
#
# Environment:
#   ZUCLOUD_FUZZ_TARGETS  space-separated subset of targets to run
#   ZUCLOUD_FUZZ_KEEP=1   keep the working corpora (their path is printed)
#
# Prints each target's run count; exits non-zero when a target crashed,
# leaked, timed out or broke an invariant. Crash inputs are kept in
# build/fuzz/crashes/<target>/ and their paths printed.
set -uo pipefail

seconds="${1:-600}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [seconds-per-target]" >&2
  exit 2
fi

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$here/build/fuzz"
jobs="$(nproc 2>/dev/null || echo 2)"

# Target and its -max_len (bytes): large enough for a real reply or file,
# small enough to keep every run fast.
declare -A max_len=(
  [message_fuzz]=16384
  [xml_fuzz]=16384
  [service_replies_fuzz]=16384
  [json_fuzz]=16384
  [settings_fuzz]=4096
  [urlencode_fuzz]=2048
  [base64_fuzz]=8192
)
all_targets="message_fuzz xml_fuzz service_replies_fuzz json_fuzz settings_fuzz urlencode_fuzz base64_fuzz"
targets="${ZUCLOUD_FUZZ_TARGETS:-$all_targets}"
for t in $targets; do
  if [ -z "${max_len[$t]:-}" ]; then
    echo "unknown fuzz target: $t (known: $all_targets)" >&2
    exit 2
  fi
done

echo "== configure and build ($build)"
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUCLOUD_FUZZ=ON -DZUCLOUD_BUILD_TESTS=OFF \
  >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 2; }
# shellcheck disable=SC2086
cmake --build "$build" --target $targets -j"$jobs" || exit 2

work="$(mktemp -d /tmp/zucloud-fuzz.XXXXXX)"
if [ "${ZUCLOUD_FUZZ_KEEP:-0}" = "1" ]; then
  echo "== working corpora kept in $work"
else
  trap 'rm -rf "$work"' EXIT
fi

failed=0
summary=()
for t in $targets; do
  corpus="$work/$t"
  crashes="$build/crashes/$t"
  mkdir -p "$corpus" "$crashes"
  if [ -d "$here/fuzz/corpus/$t" ]; then
    cp "$here/fuzz/corpus/$t"/* "$corpus"/ 2>/dev/null || true
  fi
  log="$work/$t.log"
  dict=()
  if [ -f "$here/fuzz/dict/$t.dict" ]; then dict=(-dict="$here/fuzz/dict/$t.dict"); fi
  echo "== $t: ${seconds}s, -max_len=${max_len[$t]}"
  # -timeout: an input taking this long is reported as a hang.
  "$build/fuzz/$t" "$corpus" \
    -max_total_time="$seconds" -max_len="${max_len[$t]}" -rss_limit_mb=2048 \
    -timeout=30 -print_final_stats=1 -artifact_prefix="$crashes/" "${dict[@]}" \
    >"$log" 2>&1
  rc=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  [ -n "$runs" ] || runs="$(sed -n 's/^#\([0-9]*\)[[:space:]]*DONE.*/\1/p' "$log" | tail -1)"
  [ -n "$runs" ] || runs="?"
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true
  echo "stat::number_of_executed_units: $runs"
  if [ "$rc" -ne 0 ]; then
    failed=1
    echo "!! $t FAILED (exit $rc); last lines of its log:"
    tail -n 60 "$log"
    grep -E 'Test unit written to|artifact_prefix' "$log" || true
    summary+=("$(printf '%-22s %12s runs  FAILED (crash inputs in %s)' "$t" "$runs" "$crashes")")
  else
    summary+=("$(printf '%-22s %12s runs  ok' "$t" "$runs")")
  fi
done

echo
echo "== fuzz summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit "$failed"
