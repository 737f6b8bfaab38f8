#!/usr/bin/env bash
# The relaunch through the real pkexec and a real polkitd, on a system bus of its own, in a
# mount namespace of its own: an ordinary user starts the wizard with hostile arguments and
# variables; polkit allows that user to run exactly this program as root (so an approval
# that named anything else fails). What the root copy received and opened for writing is
# read from strace and from the session log.
# Arguments: the built Update.app, the DemoMachine tool, the stand-in setup, the resources folder.
set -u
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
[ "$(id -u)" = 0 ] || skip "needs root to start a system bus and polkitd"
for tool in pkexec dbus-daemon strace Xvfb setpriv unshare; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -x /usr/lib/polkit-1/polkitd ] || skip "polkitd is not installed"
if [ -z "${KAVEX_REAL_PKEXEC_NS:-}" ]; then
  unshare --mount --propagation private true 2>/dev/null || skip "no mount namespace can be made here"
  KAVEX_REAL_PKEXEC_NS=1 exec unshare --mount --propagation private "$0" "$@"
fi
app=$1 demo=$2 standin=$3 resources=$4

work=$(mktemp -d /tmp/real-pkexec.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT

# A private system bus and rules: nothing of the machine's own changes.
mount -t tmpfs tmpfs /run/dbus || skip "cannot mount a private /run/dbus"
mkdir -p "$work/rules"
program="$work/bundle/Update.app/Contents/MacOS/Update"
cat > "$work/rules/00-kavex-test.rules" <<RULES
polkit.addRule(function(action, subject) {
    if (action.id == "org.freedesktop.policykit.exec" && subject.user == "nobody" &&
        action.lookup("program") == "$program") return polkit.Result.YES;
    return polkit.Result.NO;
});
RULES
mount --bind "$work/rules" /etc/polkit-1/rules.d || skip "cannot bind the test's polkit rules"
dbus-daemon --system --fork --print-pid > "$work/dbus.pid" || skip "no system bus can be started"
pids+=("$(cat "$work/dbus.pid")")
/usr/lib/polkit-1/polkitd --no-debug > "$work/polkitd.log" 2>&1 &
pids+=($!)
# Ready when they say so: polkitd owns its name on the bus, Xvfb writes its display number.
mkfifo "$work/xready"
Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$work/xready" >/dev/null 2>&1 &
pids+=($!)
read -r number < "$work/xready" || true
[ -n "$number" ] || fail "Xvfb did not start"
display=":$number"
DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket timeout 60 gdbus wait --system org.freedesktop.PolicyKit1 \
  || fail "polkitd did not take its name on the bus"

# The demo's machine and bundle; and a machine root the user built, with a setup of the user's own.
mkdir -p "$work/machine" "$work/bundle"
"$demo" "$work/machine" "$work/bundle" "$standin" >/dev/null || fail "the demo machine was not laid out"
cp -a "$app" "$work/bundle/"
cp -a "$resources" "$work/bundle/resources"
cp -a "$work/machine" "$work/usermachine"
chown -R nobody "$work/usermachine"
printf 'root only\n' > "$work/victim"
chmod 600 "$work/victim"
chmod -R a+rX "$work/bundle" "$work/machine"

timeout 120 strace -f -qq -s 256 -e trace=execve,openat,creat,rename,renameat,renameat2 -o "$work/trace" \
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
  env -i PATH=/usr/bin:/bin HOME=/nonexistent DISPLAY="$display" LANGUAGE=fr \
    KAVEX_SYSTEM_ROOT="$work/usermachine" KAVEX_UPDATER_RESULTS="$work/victim" \
    "$program" --mode=gui --report="$work/victim" --callerID=ZEP6 > "$work/output" 2>&1
status=$?
cat "$work/output"
[ "$status" != 124 ] || fail "the run hung (a dialog asked for something?)"

# The approval named the program (the rule allows nothing else), and pkexec ran it itself.
grep -q "execve(\"/usr/bin/pkexec\", \[\"/usr/bin/pkexec\", \"$program\", \"--mode=gui\", \"-norespawn\", \"--display=$display\", \"--language=fr\"\]" "$work/trace" \
  || fail "pkexec was not asked for the program with only the mode, -norespawn, the display and the language"
root_pid=$(grep "execve(\"$program\", \[\"$program\", \"--mode=gui\", \"-norespawn\"" "$work/trace" | awk '{print $1}' | tail -1)
[ -n "$root_pid" ] || fail "pkexec did not start the program"
log=$(grep -a "\[$root_pid\]" /tmp/moq.log)
echo "$log" | grep -q "Started as root for uid $(id -u nobody) through pkexec; handed the arguments: $program --mode=gui -norespawn --display=$display --language=fr" \
  || fail "the root copy did not receive exactly the relaunch's arguments"
environment=$(echo "$log" | grep "Environment variables after the checks")
echo "$environment" | grep -q KAVEX_ && fail "a KAVEX_ variable reached root"
echo "$environment" | grep -q " DISPLAY" || fail "the root copy was not given the display"
echo "$environment" | grep -q " LANGUAGE" || fail "the root copy was not given the language"

# Everything the root copy opened for writing, created or renamed.
writes=$(grep -E "^$root_pid " "$work/trace" | grep -E "O_WRONLY|O_RDWR|O_CREAT|rename|creat\(" | grep -v "= -1" || true)
echo "The root copy wrote:"
echo "$writes" | sed -E 's/^[0-9]+ +//' | cut -c1-160
echo "$writes" | grep -q "$work/victim" && fail "root wrote the file the user named"
echo "$writes" | grep -q "$work/usermachine" && fail "root wrote into the user's machine root"
grep -q "$work/usermachine/Library/Application Support/Kavex/Installers/.*/Setup" "$work/trace" \
  && grep "execve(\"$work/usermachine" "$work/trace" && fail "root ran the user's setup"
[ "$(cat "$work/victim")" = "root only" ] || fail "the root-only file changed"
[ "$(stat -c %a "$work/victim")" = 600 ] || fail "the root-only file's mode changed"
grep -q "End Kavex Update.  Exit code: $status" "$work/output" || fail "the launching process did not end with its end line"
[ "$status" != 0 ] || fail "a run on a machine without a store cannot be a success"
echo "PASSED: real pkexec asked for $program; the root copy ended with $status and wrote nothing the user named"
