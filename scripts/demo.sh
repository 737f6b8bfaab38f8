#!/usr/bin/env bash
# Builds the installer and runs it against a sandbox machine root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

root="$PWD/demo-root"
rm -rf "$root"
mkdir -p "$root/machine" "$root/bundle"
cp -a build/Update.app "$root/bundle/"
export KAVEX_SYSTEM_ROOT="$root/machine"

run() {
  echo "\$ Update $*"
  local start
  start=$(stat -c %s /tmp/moq.log 2>/dev/null || echo 0)
  set +e
  "$root/bundle/Update.app/Contents/MacOS/Update" "$@"
  local code=$?
  set -e
  echo "exit status: $code"
  echo "log of this run:"
  tail -c +"$((start + 1))" /tmp/moq.log | sed 's/^/    /'
  echo
}

run --mode=terminal
run --mode=silent --callerID=ZEP6
