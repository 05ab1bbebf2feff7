#!/usr/bin/env bash
# Builds the library and runs every test: a plain build with warnings as
# errors, an ASan+UBSan build and a TSan build; with the plain build, the
# library alone with clang's -Wthread-safety as errors.
#   scripts/test.sh            all three builds
#   scripts/test.sh plain      one build (plain, address or thread)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
"$here/scripts/install-deps.sh"

builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(plain address thread)

jobs=$(nproc)
status=0
total_passed=0
total_failed=0
total_skipped=0
cases_passed=0
cases_failed=0
cases_skipped=0
times=()  # "phase seconds" of every build, test run and the fuzz run
build_dir() { echo "$here/build/test-$1"; }

# Configures and builds one kind; fails the run when the build fails.
build_kind() {
  local kind="$1" dir san="" started=$SECONDS
  dir="$(build_dir "$kind")"
  [ "$kind" != plain ] && san="$kind"
  echo "=== build: $kind ==="
  cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZUCLOUD_WERROR=ON -DZUCLOUD_SANITIZE="$san" >/dev/null
  if ! cmake --build "$dir" -j "$jobs"; then
    status=1
    return 1
  fi
  times+=("build-$kind $((SECONDS - started))s")
}

# Runs one kind's tests; everything it prints goes to $dir/tests.out, its
# time to $dir/tests.seconds and a failure to $dir/tests.failed.
run_tests() {
  local kind="$1" dir started=$SECONDS label=() test_jobs
  dir="$(build_dir "$kind")"
  rm -f "$dir/tests.failed"
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  [ "$kind" != plain ] && label=(-LE long)
  # Most programs spend their time waiting on servers, timeouts and child
  # processes, so twice as many run side by side as there are CPUs; the
  # ThreadSanitizer build keeps the CPUs busy on its own and runs one a CPU.
  test_jobs=$((jobs * 2))
  [ "$kind" = thread ] && test_jobs=$jobs
  export ZUCLOUD_FAULT_MATRIX_OUT="$dir/fault_matrix.txt"
  rm -f "$ZUCLOUD_FAULT_MATRIX_OUT"
  # Each GoogleTest program is one ctest entry; its XML report (written to
  # gtest-reports/ by every entry) gives the number of cases behind it.
  rm -rf "$dir/gtest-reports"
  {
    echo "=== tests: $kind ==="
    ctest --test-dir "$dir" --output-on-failure -j "$test_jobs" "${label[@]}" \
      >"$dir/ctest.out" 2>&1 || touch "$dir/tests.failed"
    cat "$dir/ctest.out"
  } >"$dir/tests.out" 2>&1
  echo $((SECONDS - started)) >"$dir/tests.seconds"
}

# Prints one kind's test report and adds its counts to the totals.
report_tests() {
  local kind="$1" dir summary failed_here all_here skipped_here run failed skipped
  dir="$(build_dir "$kind")"
  cat "$dir/tests.out"
  [ -f "$dir/tests.failed" ] && status=1
  summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$dir/ctest.out" | tail -n 1)
  if [ -n "$summary" ]; then
    failed_here=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
    all_here=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
    skipped_here=$(grep -c -E '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$dir/ctest.out" || true)
    total_failed=$((total_failed + failed_here))
    total_skipped=$((total_skipped + skipped_here))
    total_passed=$((total_passed + all_here - failed_here - skipped_here))
  else
    status=1
  fi
  times+=("tests-$kind $(cat "$dir/tests.seconds" 2>/dev/null || echo '?')s")
  if compgen -G "$dir/gtest-reports/*.xml" >/dev/null; then
    read -r run failed skipped < <(awk '
      /<testsuites / { match($0, / tests="[0-9]+"/); t += substr($0, RSTART + 8, RLENGTH - 9)
                       match($0, / failures="[0-9]+"/); f += substr($0, RSTART + 11, RLENGTH - 12) }
      /<testcase .*result="skipped"/ { s++ }
      END { print t + 0, f + 0, s + 0 }' "$dir"/gtest-reports/*.xml)
    echo "GoogleTest cases ($kind): $((run - failed - skipped)) passed, $failed failed, $skipped skipped"
    cases_passed=$((cases_passed + run - failed - skipped))
    cases_failed=$((cases_failed + failed))
    cases_skipped=$((cases_skipped + skipped))
  fi
  if [ "$kind" = plain ] && [ -f "$dir/fault_matrix.txt" ]; then
    echo "=== fault matrix ==="
    cat "$dir/fault_matrix.txt"
    # "rows N, succeeded S, failed F, false successes X, hangs Y, false failures Z"
    awk '/^rows [0-9]+,/ { rows += $2
                           for (i = 3; i < NF; i++) {
                             if ($i == "successes") fs += $(i + 1)
                             if ($i == "hangs") hangs += $(i + 1)
                             if ($i == "failures") ff += $(i + 1)
                           } }
         END { printf "fault matrix in all: %d rows, %d false successes, %d hangs, %d false failures\n", rows, fs, hangs, ff }' \
      "$dir/fault_matrix.txt"
  fi
}

# A build's tests run while the next build compiles: the tests mostly wait
# (servers, timeouts, child processes) and leave the CPUs to the compiler.
# The last build's tests run alone.
pending=""
tests_pid=""
for kind in "${builds[@]}"; do
  build_ok=1
  build_kind "$kind" || build_ok=0
  if [ -n "$pending" ]; then
    wait "$tests_pid" || true
    report_tests "$pending"
    pending=""
  fi
  if [ "$build_ok" = 1 ]; then
    run_tests "$kind" &
    tests_pid=$!
    pending="$kind"
  fi
done
if [ -n "$pending" ]; then
  wait "$tests_pid" || true
  report_tests "$pending"
fi

# The library once more with clang's thread-safety analysis, warnings as
# errors: the locks and the fields they guard carry its annotations
# (platform/threads/ThreadAnnotations.h). Library targets only, unoptimised.
if [[ " ${builds[*]} " == *" plain "* ]]; then
  echo "=== build: clang -Wthread-safety (library) ==="
  started=$SECONDS
  dir="$here/build/thread-safety"
  if ! { cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
           -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS=-Wthread-safety -DZUCLOUD_WERROR=ON \
           -DZUCLOUD_BUILD_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null &&
         cmake --build "$dir" -j "$jobs" --target zucloud; }; then
    status=1
  fi
  times+=("thread-safety $((SECONDS - started))s")
  # Formatting and clang-tidy, with that build's compile commands.
  echo "=== style ==="
  started=$SECONDS
  if ! "$here/scripts/style.sh" "$dir"; then
    status=1
  fi
  times+=("style $((SECONDS - started))s")
fi

# The fuzz targets, briefly (a longer run: docs/fuzzing.md).
if [ $# -eq 0 ] && [ -x "$here/scripts/fuzz.sh" ]; then
  echo "=== fuzz ==="
  started=$SECONDS
  if ! "$here/scripts/fuzz.sh" "${ZUCLOUD_FUZZ_SECONDS:-8}"; then
    status=1
  fi
  times+=("fuzz $((SECONDS - started))s")
fi
echo "=== all builds ==="
echo "${total_passed} passed, ${total_failed} failed, ${total_skipped} skipped" \
  "(ctest entries; GoogleTest cases: ${cases_passed} passed, ${cases_failed} failed," \
  "${cases_skipped} skipped)"
echo "time: ${times[*]}; in all ${SECONDS}s"
exit $status
