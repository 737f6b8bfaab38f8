#!/usr/bin/env bash
# The main job: builds the installer, lays out a sandbox machine with installed
# products and a bundle of four patches, checks what a run would do, and runs the
# installer as the update manager does, twice. The bundle is signed, and the
# sandbox machine trusts its key.
set -euo pipefail
cd "$(dirname "$0")/.."
# The demo plays root on its own account: started through sudo, the program would (rightly)
# ignore the sandbox's machine root as a user's choice.
unset SUDO_UID SUDO_GID SUDO_USER PKEXEC_UID
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target Update InstallerResults StandInSetup DemoMachine kavex-bundle kavex-update

root="$PWD/demo-root"
machine="$root/machine"
bundle="$root/bundle"
rm -rf "$root"
mkdir -p "$machine" "$bundle"
build/tools/DemoMachine "$machine" "$bundle" "$PWD/build/tools/Setup"
cp -a build/Update.app "$bundle/"
mkdir -p "$bundle/resources"
cp resources/main.html resources/main.css resources/main.js resources/main.xml "$bundle/resources/"

# The product team lints and signs the bundle; the machine's administrator trusts the key.
echo "=================================================================="
echo "Signing the bundle, and trusting its key on the sandbox machine"
keys="$root/keys"
mkdir -p "$keys"
tool=build/kavex-bundle
echo "\$ kavex-bundle keygen team.secret team.pub";  $tool keygen "$keys/team.secret" "$keys/team.pub" | sed 's/^/    /'
echo "\$ kavex-bundle lint bundle";                   $tool lint "$bundle" | sed 's/^/    /' || true
echo "\$ kavex-bundle sign team.secret bundle";      $tool sign "$keys/team.secret" "$bundle" | sed 's/^/    /'
trusted="$machine/Library/Application Support/Kavex/TrustedKeys"
install -d -m 0755 "$trusted"
install -m 0644 "$keys/team.pub" "$trusted/"
echo "    trusted: ${trusted#"$root"/}/team.pub"
echo "\$ kavex-bundle verify team.pub bundle";       $tool verify "$keys/team.pub" "$bundle" | sed 's/^/    /'
tampered="$root/tampered"
cp -a "$bundle" "$tampered"
printf ' ' >> "$tampered/setup.xml"
echo "\$ kavex-bundle verify team.pub tampered   # a copy with one byte added to setup.xml"
$tool verify "$keys/team.pub" "$tampered" | sed 's/^/    /' || true
rm -rf "$tampered"
# The machine's own entry, as its package installs it: root runs only a verified snapshot.
entry="$machine/usr/libexec/kavex/kavex-update"
install -d -m 0755 "$(dirname "$entry")"
install -m 0755 build/kavex-update "$entry"
echo "    the machine's entry: ${entry#"$root"/} (root's runs on the bundle go through it)"
echo

meaning() {
  case "$1" in
    0) echo "success" ;;             1) echo "bad command line" ;;
    5) echo "no UI driver for this mode" ;; 12) echo "a main setup could not be launched" ;;
    14) echo "insufficient credentials" ;;  25) echo "not enough disk space" ;;
    26) echo "a higher patch is installed" ;; 27) echo "base product not installed" ;;
    28) echo "an installation was rolled back" ;; 29) echo "already installed" ;;
    30) echo "a conflicting application is running" ;; 31) echo "store error" ;;
    34) echo "another installer is running" ;;
    35) echo "the bundle is not as a trusted key signed it" ;; *) echo "unknown failure" ;;
  esac
}

run() {
  local title=$1 report=${2:-}
  echo "=================================================================="
  echo "$title"
  echo "\$ Update.app/Contents/MacOS/Update --mode=silent --callerID=ZEP6"
  local start
  start=$(stat -c %s /tmp/moq.log 2>/dev/null || echo 0)
  find "$machine" -name invocations.log -delete
  rm -f "$root/results.txt"
  set +e
  KAVEX_SYSTEM_ROOT="$machine" KAVEX_UPDATER_CLIENT="/Applications/Kavex Updater.app" \
  KAVEX_UPDATER_RESULTS="$root/results.txt" LANGUAGE=en \
    "$bundle/Update.app/Contents/MacOS/Update" --mode=silent --callerID=ZEP6 ${report:+"--report=$report"} | sed 's/^/    /'
  local code=${PIPESTATUS[0]}
  set -e
  # a log above its size limit was emptied by this run
  [ "$(stat -c %s /tmp/moq.log)" -ge "$start" ] || start=0
  echo
  echo "Exit code: $code ($(meaning "$code"))"
  echo "Results report to the update manager:"
  sed 's/^/    /' "$root/results.txt" 2>/dev/null || echo "    (none)"
  echo "Main setups run:"
  local any=0
  while IFS= read -r log; do
    any=1
    echo "  in ${log#"$machine"/}:"
    tr '\t' '\n' < "$log" | sed '1s/^/    working folder: /; 2,$s/^/      /'
  done < <(find "$machine" -name invocations.log | sort)
  [ "$any" = 1 ] || echo "    (none)"
  echo "Classification (from the session log):"
  tail -c +"$((start + 1))" /tmp/moq.log | sed -n 's/^.*MOQ: _info_: //p' |
    awk '/^Called GetVORNPayloadInstallState/ {sub(/.*inxtnKavexCode: /, ""); code=$0; next}
         /^Returning from PayloadsManager::Initialize/ {code=""}
         code != "" && /^Called PayloadsManager::MapErrorCodeToJSError with result/ {print code, $NF; code=""}' |
    while read -r code result; do
      name=$(grep -l -F "$code" "$bundle"/extensions/*/*.proxy.xml | head -1 | xargs -r sed -n 's/.*name="ProductName">\(.*\)<.*/\1/p')
      version=$(grep -l -F "$code" "$bundle"/extensions/*/*.proxy.xml | head -1 | xargs -r sed -n 's/.*name="ProductVersion">\(.*\)<.*/\1/p')
      case "$result" in 0) what="update available" ;; *) what=$(meaning "$result") ;; esac
      printf '    %-28s %s (%s)\n' "$name $version" "$what" "$result"
    done
  echo "Launches and report (from the session log):"
  tail -c +"$((start + 1))" /tmp/moq.log | sed -n 's/^.*MOQ: _info_: //p' |
    awk '/^Launched the Main Setup with Command|^Patcher returned exitCode|^Returning from PayloadsManager::LaunchMainSetupAndInstallPatch/ {print "    " $0; cmd=($0 ~ /with Command/); next}
         cmd {print "      " $0; cmd=0}'
  if [ -n "$report" ]; then
    echo "Excerpt of the run's JSON report ($report):"
    awk '/^  "[a-zA-Z]+": / {section=$1}
         section == "\"exit\":" || section == "\"bundle\":" || /^  "(schemaVersion|mode|stagedFrom)"/ {print "    " $0; next}
         section == "\"patches\":" && /^      "(code|verdict|reason)"/ {print "    " $0}
         section == "\"launches\":" && /^      "(sessionID|durationMs|exitStatus|signal|rolledBack)"/ {print "    " $0}
         section == "\"log\":" && /"(firstLine|lastLine)"/ {print "    " $0}' "$report"
  fi
  echo
}

echo "=================================================================="
echo "Check before the first run: what a run would do here (nothing is changed)"
echo "\$ Update.app/Contents/MacOS/Update --mode=check"
set +e
KAVEX_SYSTEM_ROOT="$machine" LANGUAGE=en "$bundle/Update.app/Contents/MacOS/Update" --mode=check | sed 's/^/    /'
check=${PIPESTATUS[0]}
set -e
echo
echo "Exit code: $check ($(meaning "$check"))"
echo

run "First run: one patch to install, one already installed, one superseded, one without its base product" \
  "$root/first-run-report.json"
run "Second run: the patch installed by the first run is now found installed"
echo "The sandbox is in $root; the session log is /tmp/moq.log."
echo "To see the wizard on a display: KAVEX_SYSTEM_ROOT=$machine $bundle/Update.app/Contents/MacOS/Update"
