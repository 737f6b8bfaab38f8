#!/usr/bin/env bash
# The relaunch through the real pkexec and a real polkitd, on a system bus of its own, in a
# mount namespace of its own: an ordinary user starts the wizard with hostile arguments and
# variables. First on a machine without kavex-update: polkit allows that user to run exactly
# this program as root (so an approval that named anything else fails). Then with the
# machine package's kavex-update and its polkit action in place (bound over the machine's
# folders, which the namespace keeps from changing): a rule for com.kavex.update alone lets
# the relaunch through kavex-update, which runs a staged copy; a rule for the generic
# pkexec action alone does not. What root received and opened for writing is read from
# strace and from the session log.
# Arguments: the built Update.app, the DemoMachine tool, the stand-in setup, the resources
# folder, the built kavex-update, the built polkit action.
set -u
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
[ "$(id -u)" = 0 ] || skip "needs root to start a system bus and polkitd"
for tool in pkexec dbus-daemon strace Xvfb setpriv unshare gdbus; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -x /usr/lib/polkit-1/polkitd ] || skip "polkitd is not installed"
if [ -z "${KAVEX_REAL_PKEXEC_NS:-}" ]; then
  unshare --mount --propagation private true 2>/dev/null || skip "no mount namespace can be made here"
  KAVEX_REAL_PKEXEC_NS=1 exec unshare --mount --propagation private "$0" "$@"
fi
app=$1 demo=$2 standin=$3 resources=$4 entry=$5 policy=$6

work=$(mktemp -d /tmp/real-pkexec.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do while kill -0 "$p" 2>/dev/null; do wait "$p" 2>/dev/null || true; done; done
  umount -R "$work/layers" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A private system bus and rules: nothing of the machine's own changes.
mount -t tmpfs tmpfs /run/dbus || skip "cannot mount a private /run/dbus"
mkdir -p "$work/rules"
program="$work/bundle/Update.app/Contents/MacOS/Update"
# A rule allowing one action for the user (and for the generic action, one program); every
# question is logged, so the test sees which action pkexec asked for.
allow() {
  local condition=$1
  cat > "$work/rules/00-kavex-test.rules" <<RULES
polkit.addRule(function(action, subject) {
    polkit.log("kavex-test asked: " + action.id);
    if (subject.user == "nobody" && ($condition)) return polkit.Result.YES;
    return polkit.Result.NO;
});
RULES
}
allow "action.id == \"org.freedesktop.policykit.exec\" && action.lookup(\"program\") == \"$program\""
mount --bind "$work/rules" /etc/polkit-1/rules.d || skip "cannot bind the test's polkit rules"
dbus-daemon --system --fork --print-pid > "$work/dbus.pid" || skip "no system bus can be started"
pids+=("$(cat "$work/dbus.pid")")
# polkitd reads its rules and actions when it starts; it is ready when it owns its bus name.
polkitd_pid=
start_polkitd() {  # log name
  if [ -n "$polkitd_pid" ]; then
    kill "$polkitd_pid"
    wait "$polkitd_pid" 2>/dev/null
  fi
  /usr/lib/polkit-1/polkitd > "$work/$1" 2>&1 &
  polkitd_pid=$!
  pids+=("$polkitd_pid")
  gdbus wait --system --timeout 60 org.freedesktop.PolicyKit1 || fail "polkitd did not come up"
}
start_polkitd polkitd.log
# The X server writes its display number when it accepts clients.
mkfifo "$work/display"
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 800x600x24 3> "$work/display" >/dev/null 2>&1 &
pids+=($!)
read -r number < "$work/display"
[ -n "$number" ] || fail "the X server did not start"
display=":$number"

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

# The root copy meets a machine without a store and says so in its startup window before it
# ends; the test answers it as a user would, once it is shown.
answer_startup_window() {
  command -v xdotool >/dev/null || return 0
  DISPLAY="$display" timeout 110 xdotool search --sync --onlyvisible --name '.+' windowfocus --sync %1 key Return \
    >/dev/null 2>&1 &
  answerer=$!
  pids+=("$answerer")
}
answer_startup_window
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
echo "Without kavex-update: real pkexec asked for $program; the root copy ended with $status and wrote nothing the user named"

# The machine package's kavex-update and polkit action, where it installs them. kavex-update
# is taken only from folders that only root can change; a layer over each machine folder
# (its changes in the test's memory) lets the test add them, and keeps the staging that
# kavex-update makes under /var/lib off the machine.
mkdir -p "$work/layers"
mount -t tmpfs -o mode=755 tmpfs "$work/layers" || skip "cannot mount the layers' tmpfs"
layer() {
  local name; name=$(echo "$1" | tr / _)
  mkdir -p "$work/layers/$name/upper" "$work/layers/$name/work"
  mount -t overlay overlay -o "lowerdir=$1,upperdir=$work/layers/$name/upper,workdir=$work/layers/$name/work" "$1" \
    || skip "no overlay can be laid over $1"
}
layer /usr/libexec
layer /usr/share/polkit-1/actions
layer /var/lib
mkdir -m 755 /usr/libexec/kavex
touch /usr/libexec/kavex/kavex-update /usr/share/polkit-1/actions/com.kavex.update.policy
mount --bind "$entry" /usr/libexec/kavex/kavex-update || fail "cannot bind kavex-update"
mount --bind "$policy" /usr/share/polkit-1/actions/com.kavex.update.policy || fail "cannot bind the polkit action"
installed=/usr/libexec/kavex/kavex-update

run_wizard() {  # name
  answer_startup_window
  timeout 120 strace -f -qq -s 256 -e trace=execve,openat,creat,rename,renameat,renameat2 -o "$work/$1.trace" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i PATH=/usr/bin:/bin HOME=/nonexistent DISPLAY="$display" LANGUAGE=fr KAVEX_UPDATER_RESULTS="$work/victim" \
      "$program" --mode=gui --report="$work/victim" --callerID=ZEP6 > "$work/$1.output" 2>&1
  status=$?
  cat "$work/$1.output"
  [ "$status" != 124 ] || fail "the $1 run hung (a dialog asked for something?)"
  grep -q "End Kavex Update.  Exit code: $status" "$work/$1.output" || fail "the $1 run did not end with its end line"
  grep -q "execve(\"/usr/bin/pkexec\", \[\"/usr/bin/pkexec\", \"$installed\", \"--mode=gui\", \"-norespawn\", \"--display=$display\", \"--language=fr\", \"$work/bundle\"\]" "$work/$1.trace" \
    || fail "the $1 run did not ask pkexec for $installed with the mode, -norespawn, the display, the language and its bundle folder"
}

# A rule for the package's action alone: the relaunch goes through it, kavex-update runs as
# root and starts the program of its staged copy, which is removed when the run ends.
allow 'action.id == "com.kavex.update"'
start_polkitd polkitd-action.log
run_wizard action
grep -q "kavex-test asked: com.kavex.update" "$work/polkitd-action.log" || { cat "$work/polkitd-action.log"; fail "pkexec did not ask polkit for com.kavex.update"; }
grep -q "kavex-test asked: org.freedesktop.policykit.exec" "$work/polkitd-action.log" && fail "pkexec asked for the generic action"
entry_pid=$(grep "execve(\"$installed\", \[\"$installed\", \"--mode=gui\"" "$work/action.trace" | awk '{print $1}' | tail -1)
[ -n "$entry_pid" ] || fail "pkexec did not start kavex-update"
staged=$(grep "execve(\"/var/lib/kavex/staging/run-[0-9a-f]*/bundle/Update.app/Contents/MacOS/Update\", " "$work/action.trace" | head -1)
[ -n "$staged" ] || fail "kavex-update did not run the program of a staged copy"
# kavex-update took the display and the language as the relaunch's values; they reach the
# staged program as its environment, and the mode as its only arguments.
echo "$staged" | grep -q "/MacOS/Update\", \"--mode=gui\", \"-norespawn\"\]" \
  || fail "the staged program was not given exactly the mode: $staged"
staged_log=$(grep -a "\[$(echo "$staged" | awk '{print $1}')\]" /tmp/moq.log)
environment=$(echo "$staged_log" | grep "Environment variables after the checks")
echo "$environment" | grep -q " DISPLAY" && echo "$environment" | grep -q " LANGUAGE" \
  || { echo "$staged_log" | head -20; fail "the staged program was not given the display and the language"; }
echo "$environment" | grep -q KAVEX_ && fail "a KAVEX_ variable reached the staged program"
grep -q "execve(\"$work/bundle/Update.app/Contents/MacOS/Update\", .*--mode=gui\", \"-norespawn\"" "$work/action.trace" \
  && fail "root ran the program in the user's bundle folder"
ls /var/lib/kavex/staging | grep -q '^run-' && fail "the run's staging was left behind"
writes=$(grep -E "^$entry_pid " "$work/action.trace" | grep -E "O_WRONLY|O_RDWR|O_CREAT|rename|creat\(" | grep -v "= -1" || true)
echo "$writes" | grep -q "$work/victim" && fail "kavex-update wrote the file the user named"
[ "$status" != 0 ] || fail "a run on a machine without a store cannot be a success"
echo "Through com.kavex.update: $installed ran the staged copy; the run ended with $status"

# A rule for the generic action alone does not let it through: pkexec asks for the package's
# action, which nothing allows.
# The wizard then asks the user whether to try again: once it says so, the test ends it.
allow "action.id == \"org.freedesktop.policykit.exec\""
start_polkitd polkitd-generic.log
strace -f -qq -s 256 -e trace=execve,openat,creat,rename,renameat,renameat2 -o "$work/generic.trace" \
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
  env -i PATH=/usr/bin:/bin HOME=/nonexistent DISPLAY="$display" LANGUAGE=fr KAVEX_UPDATER_RESULTS="$work/victim" \
    "$program" --mode=gui --report="$work/victim" --callerID=ZEP6 > "$work/generic.output" 2>&1 &
tracer=$!
pids+=("$tracer")
timeout 120 grep -q -m1 "administrator rights could not be obtained" < <(tail -n +1 --pid="$tracer" -f "$work/generic.output") \
  || { cat "$work/generic.output"; fail "the refused relaunch did not end in the wizard's rights message"; }
kill "$(head -1 "$work/generic.trace" | awk '{print $1}')"
wait "$tracer"
cat "$work/generic.output"
grep -q "execve(\"/usr/bin/pkexec\", \[\"/usr/bin/pkexec\", \"$installed\", " "$work/generic.trace" \
  || fail "the refused relaunch did not ask pkexec for $installed"
grep -q "kavex-test asked: com.kavex.update" "$work/polkitd-generic.log" || fail "pkexec did not ask polkit for com.kavex.update"
grep -q "execve(\"$installed\", " "$work/generic.trace" && fail "a rule for the generic action let kavex-update run as root"
[ "$(cat "$work/victim")" = "root only" ] || fail "the root-only file changed"
echo "PASSED: without kavex-update real pkexec asked for $program; with it, com.kavex.update alone lets the relaunch through kavex-update, the generic action does not"
