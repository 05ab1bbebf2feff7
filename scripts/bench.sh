#!/usr/bin/env bash
# Runs every upload benchmark of bench/ and prints one report: throughput of
# the library against curl and against the Azure Storage SDK for Python,
# peak RSS against its target, CPU seconds per GiB uploaded; through a
# WAN-like link (over http and https, for the folder and the blob service),
# to a discard sink (nginx, over http and https), under a bandwidth cap, for
# many small files, with client-side encryption on against off (CPU beside
# openssl speed, throughput across the WAN-like link) and (with --large)
# for a file past 50,000 blocks.
#
#   scripts/bench.sh [--rounds N] [--only wan,sink,...] [--large]
#                    [other options of bench/run_benchmarks.py]
#
# Installs what it needs (install-deps.sh plus Debian's python3-azure-storage,
# nginx and python3-matplotlib),
# builds the library and the benchmark programs (Release) in build/bench,
# makes random test files in a temporary directory, runs the benchmarks
# against the local cloud emulator and Azurite (bench/run_benchmarks.py
# starts and stops them) and stops everything it started, also when
# interrupted. Not part of CI: it takes several minutes and its figures
# depend on the machine. The current figures are in docs/benchmarks.md.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

echo "== Installing dependencies" >&2
"$here/scripts/install-deps.sh" >&2
missing=()
/usr/bin/python3 -c 'import azure.storage.blob' 2>/dev/null || missing+=(python3-azure-storage)
[ -x /usr/sbin/nginx ] || missing+=(nginx)
/usr/bin/python3 -c 'import matplotlib' 2>/dev/null || missing+=(python3-matplotlib)
if [ ${#missing[@]} -gt 0 ]; then
  # The Python SDK is a baseline; nginx is the discard sink and the https
  # front, run by the benchmarks as foreground processes of their own (the
  # package's service is not used); matplotlib draws the --chart.
  echo "Installing ${missing[*]} (benchmark baselines)" >&2
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >&2
fi

echo "== Building (Release, build/bench)" >&2
cmake -S "$here" -B "$here/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZUCLOUD_BUILD_BENCH=ON -DZUCLOUD_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build/bench" -j "$(nproc)" \
  --target folder_upload_bench blob_upload_bench | tail -n 1 >&2

work="$(mktemp -d "${TMPDIR:-/tmp}/zucloud-bench.XXXXXX")"
driver_pid=""
cleanup() {
  status=$?
  if [ -n "$driver_pid" ] && kill -0 "$driver_pid" 2>/dev/null; then
    # The driver runs in a process group of its own with the emulators it
    # started: end the whole group, politely first.
    kill -TERM -- "-$driver_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$driver_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$driver_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== Making the test files (random data) in $work" >&2
head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/folder-256MiB.bin"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/blob-1GiB.bin"

cpu_model="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
mem_gib="$(awk '/^MemTotal:/ {printf "%.1f", $2 / 1048576}' /proc/meminfo)"
echo "== Running the benchmarks (10 to 20 minutes; --large adds 2)" >&2
echo "Machine: $(nproc) CPUs, ${cpu_model:-unknown CPU}, ${mem_gib} GiB memory;" \
  "$(uname -sr); curl $(curl --version | head -n 1 | cut -d' ' -f2);" \
  "Python SDK azure-storage-blob $(/usr/bin/python3 -c 'from azure.storage.blob import __version__ as v; print(v)')"
echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'); load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

setsid -w /usr/bin/python3 "$here/bench/run_benchmarks.py" --work "$work" \
  --folder-program "$here/build/bench/bench/folder_upload_bench" \
  --blob-program "$here/build/bench/bench/blob_upload_bench" \
  --folder-file "$work/folder-256MiB.bin" --blob-file "$work/blob-1GiB.bin" \
  --wan-file "$work/folder-256MiB.bin" "$@" &
driver_pid=$!
set +e
wait "$driver_pid"
result=$?
set -e
driver_pid=""
echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ $result -eq 0 ]; then
  echo "Every target met."
else
  echo "At least one target missed (or a run failed): see the verdict columns above."
fi
exit $result
