#!/usr/bin/env bash
# Runs a DR backup upload through both services against the local cloud
# emulator and Azurite: installs what it needs, builds the library and the
# zucloud-upload command, makes a sample DR backup set, uploads it with the
# folder service and with the blob service (API mode and Azure Functions
# mode), checks the stored bytes against the local files and prints a
# verdict per service. Stops everything it started, also when interrupted.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

echo "== Installing dependencies"
"$here/scripts/install-deps.sh"

echo "== Building"
cmake -S "$here" -B "$here/build/demo" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZUCLOUD_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build/demo" -j "$(nproc)" --target zucloud-upload | tail -n 1
cli="$here/build/demo/tools/zucloud-upload"

work="$(mktemp -d "${TMPDIR:-/tmp}/zucloud-demo.XXXXXX")"
emulator_pid=""
cleanup() {
  status=$?
  if [ -n "$emulator_pid" ] && kill -0 "$emulator_pid" 2>/dev/null; then
    kill -TERM "$emulator_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$emulator_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$emulator_pid" 2>/dev/null || true
  fi
  if [ $status -ne 0 ] && [ -f "$work/log/ZUCloudService.log" ]; then
    # The work folder goes; a failed run's log stays where the line says.
    kept="$(mktemp "${TMPDIR:-/tmp}/zucloud-demo-log.XXXXXX")"
    cp "$work/log/ZUCloudService.log" "$kept"
    echo "-- last lines of ZUCloudService.log (kept whole in $kept):"; tail -n 20 "$kept"
  fi
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== Starting the cloud emulator and Azurite"
password="demo-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
python3 "$here/emulator/run_emulator.py" --accounts "demo:$password" --with-storage \
  --node-modules "$here/emulator/node_modules" >"$work/ready" 2>"$work/emulator.log" &
emulator_pid=$!
for _ in $(seq 600); do
  grep -q '^READY ' "$work/ready" 2>/dev/null && break
  kill -0 "$emulator_pid" 2>/dev/null || { cat "$work/emulator.log"; echo "emulator failed"; exit 1; }
  sleep 0.1
done
ready="$(sed -n 's/^READY //p' "$work/ready")"
[ -n "$ready" ] || { cat "$work/emulator.log"; echo "emulator did not start"; exit 1; }
port() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$ready" "$1"; }
console="http://127.0.0.1:$(port console)"
echo "   web console $console/webconsole, storage proxy port $(port proxy), Azurite port $(port azurite)"

echo "== Making a sample DR backup set"
set_dir="$work/backup"; mkdir -p "$set_dir" "$work/log"
: >"$set_dir/empty.marker"
printf '<catalog job="4711" level="0"/>\n' >"$set_dir/catalog.xml"
head -c $((2 * 1024 * 1024)) /dev/urandom >"$set_dir/journal-2MiB.log"
head -c $((5 * 1024 * 1024 + 7)) /dev/urandom >"$set_dir/database-full.bak"
head -c $((9 * 1024 * 1024 + 123)) /dev/urandom >"$set_dir/system-image.img"
ls -l "$set_dir" | tail -n +2 | awk '{printf "   %-22s %10s bytes\n", $9, $5}'

guid="7c1e0f3a-5d2b-4e8a-9f61-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
common=(--user demo --password-env ZUCLOUD_DEMO_PASSWORD --vestrum-guid "$guid"
        --vestrum-id 42 --job-id 4711 --full-job-id 4700 --set-id set-1 --backup-level 1)
export ZUCLOUD_DEMO_PASSWORD="$password" ZUCLOUD_LOG_DIR="$work/log" ZUCLOUD_WAIT_SCALE=0.01
export ZUCLOUD_STATE_DIR="$work/state"

cat >"$work/folder.conf" <<CONF
[GlobalParam]
Cloud URL = $console/webconsole
CONF
cat >"$work/blob-api.conf" <<CONF
[GlobalParam]
Cloud URL = $console/webconsole
DRBackupUploadBlobSize = 1
DRBackupUploadStreamCount = 3
DRBackupRetryCount = 5
CONF
cat >"$work/blob-functions.conf" <<CONF
[GlobalParam]
bEnableZUCloudDRBackupAzureFunctionsMode = true
ZUCloudDRBackupAzureBaseUrl = $console/azfunc
DRBackupUploadBlobSize = 2
DRBackupUploadStreamCount = 2
DRBackupRetryCount = 5
CONF

verdicts=()
run() {
  local label="$1"; shift
  echo; echo "== $label"
  if "$cli" "$@"; then verdicts+=("$label: upload ok"); else verdicts+=("$label: upload FAILED"); fi
}
check() {
  if python3 "$here/scripts/verify_demo.py" --control "$console" --dir "$set_dir" "$@"; then
    return 0
  fi
  failed=1
}

failed=0
run "Folder service" --service folder --config "$work/folder.conf" "${common[@]}" \
  --remote-folder Nightly "$set_dir" || failed=1
run "Blob service, API mode" --service blob --config "$work/blob-api.conf" "${common[@]}" \
  --remote-folder api "$set_dir" || failed=1
run "Blob service, Azure Functions mode" --service blob --config "$work/blob-functions.conf" \
  "${common[@]}" --remote-folder functions "$set_dir" || failed=1

echo; echo "== Verifying the stored bytes against the local files"
folder_path=$(python3 - "$console" <<'PY'
import json, sys, urllib.request
files = json.load(urllib.request.urlopen(sys.argv[1] + "/_emu/files"))
paths = [f["parentPath"] for f in files if f["parentPath"].endswith("\\Nightly")]
print(paths[-1] if paths else "(none)")
PY
)
check --label "Folder service" --folder-parent "$folder_path"
check --label "Blob service, API mode" --blob-mode api
check --label "Blob service, Azure Functions mode" --blob-mode af_finalize
for v in "${verdicts[@]}"; do case "$v" in *FAILED) failed=1;; esac; done

echo
if [ $failed -eq 0 ]; then
  echo "DEMO PASSED: every file of the DR backup set is in the cloud byte for byte."
else
  echo "DEMO FAILED: see the lines above and the log, kept at the path the next lines name."
  exit 1
fi
