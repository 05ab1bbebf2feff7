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

# Runs one target and leaves its report in $work/<target>.report: the lines
# to print, the summary row last.
run_target() {
  local t="$1" corpus="$work/$1" crashes="$build/crashes/$1" log="$work/$1.log"
  local report="$work/$1.report" dict=() rc runs
  mkdir -p "$corpus" "$crashes"
  if [ -d "$here/fuzz/corpus/$t" ]; then
    cp "$here/fuzz/corpus/$t"/* "$corpus"/ 2>/dev/null || true
  fi
  if [ -f "$here/fuzz/dict/$t.dict" ]; then dict=(-dict="$here/fuzz/dict/$t.dict"); fi
  # -timeout: an input taking this long is reported as a hang.
  "$build/fuzz/$t" "$corpus" \
    -max_total_time="$seconds" -max_len="${max_len[$t]}" -rss_limit_mb=2048 \
    -timeout=30 -print_final_stats=1 -artifact_prefix="$crashes/" "${dict[@]}" \
    >"$log" 2>&1
  rc=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  [ -n "$runs" ] || runs="$(sed -n 's/^#\([0-9]*\)[[:space:]]*DONE.*/\1/p' "$log" | tail -1)"
  [ -n "$runs" ] || runs="?"
  {
    echo "== $t: ${seconds}s, -max_len=${max_len[$t]}"
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true
    echo "stat::number_of_executed_units: $runs"
    if [ "$rc" -ne 0 ]; then
      echo "!! $t FAILED (exit $rc); last lines of its log:"
      tail -n 60 "$log"
      grep -E 'Test unit written to|artifact_prefix' "$log" || true
      printf '%-22s %12s runs  FAILED (crash inputs in %s)\n' "$t" "$runs" "$crashes"
    else
      printf '%-22s %12s runs  ok\n' "$t" "$runs"
    fi
  } >"$report"
}

# Each target is one process on one CPU: as many run at once as there are
# CPUs; the reports are printed in the targets' order.
running=0
for t in $targets; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
wait

failed=0
summary=()
for t in $targets; do
  report="$work/$t.report"
  if [ ! -f "$report" ]; then
    echo "!! $t left no report"
    failed=1
    summary+=("$(printf '%-22s %12s runs  FAILED (no report)' "$t" "?")")
    continue
  fi
  sed '$d' "$report"
  row="$(tail -n 1 "$report")"
  [[ "$row" == *FAILED* ]] && failed=1
  summary+=("$row")
done

echo
echo "== fuzz summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit "$failed"
