#!/usr/bin/env bash
# The Debian packages as a machine and a product team get them: made with cpack, their
# contents against what the build made, lintian, then installed with dpkg into a throw-away
# root (a dpkg database holding only what the packages depend on), used from there, removed
# and purged: nothing may be left but what was there before, the administrator's trusted keys
# among it.
# Arguments: the build folder, the DemoMachine tool, the stand-in setup.
set -u
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
[ "$(id -u)" = 0 ] || skip "installing into a root with dpkg needs root (files owned by root)"
for tool in cpack dpkg dpkg-deb dpkg-query lintian help2man dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/deps.sh installs it)"
done
build=$1 demo=$2 standin=$3
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "the build has no project version"
arch=$(dpkg --print-architecture)

work=$(mktemp -d /tmp/package-test.XXXXXX)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT

# 1. The packages, made in a folder of the test's own.
(cd "$build" && cpack -G DEB -B "$work/out") > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
machine_deb="$work/out/kavex-update_${version}_${arch}.deb"
bundle_deb="$work/out/kavex-bundle_${version}_${arch}.deb"
[ -f "$machine_deb" ] && [ -f "$bundle_deb" ] || { ls -l "$work/out"; fail "cpack did not make kavex-update_${version}_${arch}.deb and kavex-bundle_${version}_${arch}.deb"; }

# 2. Their files: exactly these, every one root's; folders 0755, programs 0755, the rest 0644.
contents() { dpkg-deb -c "$1" | awk '$6 != "./" { sub(/^\./, "", $6); sub(/\/$/, "", $6); print $1, $2, $6 }'; }
expect_machine=(/usr/libexec/kavex/kavex-update /usr/bin/kavex-bundle
  /usr/share/polkit-1/actions/com.kavex.update.policy
  /usr/share/man/man8/kavex-update.8.gz /usr/share/man/man1/kavex-bundle.1.gz /usr/share/man/man1/Update.1.gz
  /usr/share/doc/kavex-update/copyright /usr/share/doc/kavex-update/changelog.gz)
# The bundle package carries the built Update.app whole, whatever it holds.
expect_bundle=(/usr/share/kavex-bundle/resources/main.html /usr/share/kavex-bundle/resources/main.css
  /usr/share/kavex-bundle/resources/main.js /usr/share/kavex-bundle/resources/main.xml
  /usr/share/doc/kavex-bundle/copyright /usr/share/doc/kavex-bundle/changelog.gz)
while IFS= read -r file; do expect_bundle+=("/usr/lib/kavex-bundle/${file#"$build/"}"); done \
  < <(find "$build/Update.app" -type f)
check_list() {
  local deb=$1; shift
  local listing; listing=$(contents "$deb")
  echo "$listing" | awk '$2 != "root/root" { print }' | grep . && fail "$(basename "$deb") holds entries not owned by root"
  echo "$listing" | awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print }' | grep . && fail "$(basename "$deb") holds folders not 0755"
  diff <(printf '%s\n' "$@" | sort) <(echo "$listing" | awk '$1 !~ /^d/ { print $3 }' | sort) \
    || fail "$(basename "$deb") does not hold exactly the expected files (< expected, > packaged)"
  echo "$listing" | awk '$1 !~ /^d/ { print $1, $3 }' | while read -r mode path; do
    case "$path" in
      */libexec/*|*/bin/*|*/MacOS/*) want=-rwxr-xr-x ;;
      *) want=-rw-r--r-- ;;
    esac
    [ "$mode" = "$want" ] || { echo "$path is $mode, not $want"; exit 1; }
  done || fail "$(basename "$deb") holds files with the wrong mode"
}
check_list "$machine_deb" "${expect_machine[@]}"
check_list "$bundle_deb" "${expect_bundle[@]}"
[ "$(dpkg-deb -f "$machine_deb" Version)" = "$version" ] || fail "the machine package's version is not $version"
dpkg-deb -f "$bundle_deb" Depends | grep -q "kavex-update (= $version)" || fail "kavex-bundle does not depend on kavex-update $version"
dpkg-deb -f "$machine_deb" Depends | grep -q "libc6" || fail "the machine package's dependencies were not computed from its programs"
dpkg-deb -I "$machine_deb" postrm >/dev/null || fail "the machine package has no postrm to purge its staging"

# The polkit action: the program it names is the one the package installs, its texts are
# those of the string table in every language, under the codes polkit looks up.
dpkg-deb -x "$machine_deb" "$work/machine-files"
policy="$work/machine-files/usr/share/polkit-1/actions/com.kavex.update.policy"
xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy" 2>/dev/null \
  || [ ! -f /usr/share/polkit-1/policyconfig-1.dtd ] || fail "the policy is not valid polkit policy XML"
grep -q '<annotate key="org.freedesktop.policykit.exec.path">/usr/libexec/kavex/kavex-update</annotate>' "$policy" \
  || fail "the action does not name /usr/libexec/kavex/kavex-update"
for lang in fr de ja ar cs da el es fi he hu it ko nb nl pl pt ro ru sv tr uk zh_CN zh_TW; do
  [ "$(grep -c "xml:lang=\"$lang\"" "$policy")" = 2 ] || fail "the action has no description and message for $lang"
done
[ "$(grep -c 'xml:lang=' "$policy")" = 48 ] || fail "the action's languages are not the string table's 24 translations"

# 3. lintian: no error (its warnings are shown).
for deb in "$machine_deb" "$bundle_deb"; do
  lintian --fail-on error --tag-display-limit 0 "$deb" > "$work/lintian.log" 2>&1
  status=$?
  cat "$work/lintian.log"
  [ "$status" = 0 ] || fail "lintian reports errors on $(basename "$deb")"
done

# 4. A throw-away root: a dpkg database with the host's entries for what the packages depend
# on, the demo's machine, and the administrator's trusted key.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
for name in $( (dpkg-deb -f "$machine_deb" Depends; dpkg-deb -f "$bundle_deb" Depends) | tr ',|' '\n\n' \
               | sed 's/(.*//; s/:.*//; s/ //g' | grep . | grep -v '^kavex-' | sort -u); do
  # A virtual name comes with the installed package that provides it.
  provider=$(dpkg-query -W -f '${Package} ${db:Status-Abbrev} ${Provides}\n' 2>/dev/null \
    | awk -v n="$name" '$2 == "ii" && ($1 == n || (" " $0 ",") ~ (" " n "[ ,(]")) { print $1; exit }')
  [ -n "$provider" ] || fail "the host lacks $name, a dependency"
  grep -q "^Package: $provider\$" "$root/var/lib/dpkg/status" && continue
  dpkg-query -s "$provider" >> "$root/var/lib/dpkg/status"
  echo >> "$root/var/lib/dpkg/status"
done
"$demo" "$root" "$work/demo-bundle" "$standin" > /dev/null || fail "the demo machine was not laid out"
keys="$root/Library/Application Support/Kavex/TrustedKeys"
mkdir -p "$keys"
"$build/kavex-bundle" keygen "$work/team.secret" "$keys/team.pub" > /dev/null || fail "no key was made"
chmod 755 "$keys"
chmod 644 "$keys/team.pub"
chmod -R go-w "$root"
key=$(cat "$keys/team.pub")
snapshot() { (cd "$root" && find . -path ./var/lib/dpkg -prune -o -printf '%M %u:%g %p\n' | sort -k3); }
snapshot > "$work/before"
in_root() { dpkg --root="$root" --force-script-chrootless --log=/dev/null "$@"; }

in_root -i "$machine_deb" "$bundle_deb" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg did not install the packages"; }
program="$root/usr/libexec/kavex/kavex-update"
[ "$(stat -c '%a %U:%G' "$program")" = "755 root:root" ] || fail "kavex-update is $(stat -c '%a %U:%G' "$program")"
for folder in "$root/usr/libexec/kavex" "$root/usr/lib/kavex-bundle" "$root/usr/share/kavex-bundle" "$root/usr/share/polkit-1/actions"; do
  [ "$(stat -c '%a %U:%G' "$folder")" = "755 root:root" ] || fail "$folder is $(stat -c '%a %U:%G' "$folder")"
done
[ "$("$program" --version)" = "kavex-update $version" ] || fail "the installed kavex-update does not say it is $version"
[ "$(cat "$keys/team.pub")" = "$key" ] || fail "installing touched the trusted keys"

# The installed tool makes a bundle from the package's program and pages alone and signs it;
# the installed kavex-update stages it, verifies it with the machine's key and runs it.
payloads=()
for payload in "$work/demo-bundle/extensions/"*/; do payloads+=("${payload%/}"); done
"$root/usr/bin/kavex-bundle" new --out="$work/made" "${payloads[@]}" > "$work/new.log" 2>&1 \
  || { cat "$work/new.log"; fail "the installed kavex-bundle could not make a bundle"; }
diff -r "$root/usr/lib/kavex-bundle/Update.app" "$work/made/Update.app" || fail "the new bundle's program is not the package's"
diff -r "$root/usr/share/kavex-bundle/resources" "$work/made/resources" || fail "the new bundle's pages are not the package's"
"$root/usr/bin/kavex-bundle" sign "$work/team.secret" "$work/made" > /dev/null || fail "the installed kavex-bundle did not sign"
KAVEX_SYSTEM_ROOT="$root" LANGUAGE=en "$program" --mode=check "$work/made" > "$work/run.log" 2>&1
status=$?
cat "$work/run.log"
grep -q "End Kavex Update.  Exit code: $status" "$work/run.log" || fail "the staged program did not end with kavex-update's status ($status)"
grep -q "^Bundle signature: valid" "$work/run.log" || fail "the staged copy was not verified with the machine's key"
[ -d "$root/var/lib/kavex/staging" ] || fail "kavex-update did not stage under the machine root"
[ -z "$(ls "$root/var/lib/kavex/staging" | grep '^run-')" ] || fail "the run left its staging behind"

# The program and pages belong to the tool's package: the machine package cannot go first.
in_root -r kavex-update > "$work/dpkg.log" 2>&1 && fail "dpkg removed kavex-update while kavex-bundle needs it"
[ -x "$program" ] || fail "a refused removal removed kavex-update"

in_root -r kavex-bundle kavex-update > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg did not remove the packages"; }
[ ! -e "$program" ] && [ ! -e "$root/usr/bin/kavex-bundle" ] && [ ! -e "$root/usr/lib/kavex-bundle" ] \
  || fail "removing left the programs behind"
in_root -P kavex-bundle kavex-update > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg did not purge the packages"; }
snapshot > "$work/after"
diff "$work/before" "$work/after" || fail "installing, using and purging the packages left the root changed (< before, > after)"
[ "$(cat "$keys/team.pub")" = "$key" ] || fail "the administrator's key changed"
echo "PASSED: $(basename "$machine_deb") and $(basename "$bundle_deb") hold what was built, lintian finds no error, they install, run and purge cleanly"
