#!/bin/bash
# Builds the Debian package from a build tree and checks it as an operator meets it: its
# contents and dependencies, what lintian and systemd-analyze find, the binary's hardening, an
# install into a scratch root with dpkg (its user, owners and modes), the installed /CHECK, an
# upgrade over an edited configuration and over what a version run as root left, and a purge.
set -euo pipefail
build=$1
# dpkg installs as root only; ctest counts 77 as skipped.
[ "$(id -u)" = 0 ] || { echo "skipped: dpkg needs root"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
prefix=/opt/brova-csv-sender
unit=/lib/systemd/system/svcBrovaCSVSender.service

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb=$(echo "$work"/out/brova-csv-sender_*_*.deb)
[ -f "$deb" ] || fail "no package in $work/out"

echo "== $(basename "$deb")"
dpkg-deb -c "$deb" | tee "$work/contents"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"

# Files, modes and owners; directories aside.
listed=$(awk '$1 !~ /^d/ { print $1, $2, $6 }' "$work/contents")
expected="-rw-r--r-- root/root .$unit
-rwxr-xr-x root/root .$prefix/BrovaCSVSender
-rw-r--r-- root/root .$prefix/BrovaCSVSenderConfig.sample.xml
-rw------- root/root .$prefix/BrovaCSVSenderConfig.xml
-rw-r--r-- root/root ./usr/lib/sysusers.d/brova-csv-sender.conf
-rw-r--r-- root/root ./usr/share/doc/brova-csv-sender/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/brova-csv-sender/copyright
-rw-r--r-- root/root ./usr/share/lintian/overrides/brova-csv-sender"
[ "$listed" = "$expected" ] || fail "contents differ:
$listed"
dpkg-deb --info "$deb" conffiles | grep -qx "$prefix/BrovaCSVSenderConfig.xml" ||
    fail "the configuration is not a conffile"
# Every dependency is a package this machine has, the libraries the build linked among them.
for lib in systemd libc6 libcurl4 libpugixml1v5 libstdc++6; do
    [[ "$depends" == *"$lib "* ]] || fail "no dependency on $lib"
done
for dep in $(echo "$depends" | tr ',' '\n' | awk '{ print $1 }'); do
    dpkg-query -W -f='${Status}\n' "$dep" 2>/dev/null | grep -q 'install ok installed' ||
        fail "dependency $dep is not a package installed here"
done

# The packaged unit is the one /INSTALL writes for the packaged executable.
dpkg-deb -x "$deb" "$work/x"
mkdir "$work/units"
BROVA_UNIT_DIR="$work/units" "$build/BrovaCSVSender" /INSTALL /SILENT
sed "s|^ExecStart=.*|ExecStart=$prefix/BrovaCSVSender|" "$work/units/svcBrovaCSVSender.service" |
    cmp -s - "$work/x$unit" || fail "the packaged unit differs from what /INSTALL writes"

# lintian finds no error, and no warning either (overrides say why where the layout is deliberate).
lintian "$deb" 2>&1 | { grep -v '^running with root privileges' || true; } | tee "$work/lintian.out"
! grep -q '^[EW]:' "$work/lintian.out" || fail "lintian: $(cat "$work/lintian.out")"

# The packaged unit's sandbox: 2.0 or better.
systemd-analyze security --offline=true "$work/x$unit" >"$work/security.out" 2>&1 ||
    { cat "$work/security.out"; fail "systemd-analyze security"; }
score=$(sed -n 's/^.*Overall exposure level for svcBrovaCSVSender.service: \([0-9.]*\) .*$/\1/p' "$work/security.out")
echo "unit exposure: $score"
[ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' || fail "unit exposure ${score:-unknown}"

# The packaged executable: PIE, full RELRO with BIND_NOW, stack protector, fortified calls.
exe="$work/x$prefix/BrovaCSVSender"
readelf -d "$exe" | grep -E 'FLAGS|BIND' | tee "$work/flags"
grep -q 'BIND_NOW' "$work/flags" && grep -q 'Flags: NOW PIE' "$work/flags" || fail "not PIE with BIND_NOW"
readelf -lW "$exe" >"$work/segments"
grep -q GNU_RELRO "$work/segments" || fail "no RELRO"
readelf --dyn-syms -W "$exe" >"$work/symbols"
grep -q ' __stack_chk_fail' "$work/symbols" || fail "no stack protector"
grep -qE ' __[a-z_]+_chk(@| )' "$work/symbols" || fail "no fortified calls"

root="$work/root"
mkdir -p "$root/etc" "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The scratch root has no libraries of its own: the dependencies are checked above.
dpkg_root() { dpkg --root="$root" --force-script-chrootless --force-depends "$@" >>"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg $*"; }; }
installed_version() { dpkg-query --root="$root" -W -f='${Status} ${Version}' brova-csv-sender 2>/dev/null || true; }

dpkg_root -i "$deb"
[ "$(installed_version)" = "install ok installed $(dpkg-deb -f "$deb" Version)" ] || fail "not installed"
# The system user and group brova, without a login; the configuration its group reads; the
# state directory its own.
user=$(awk -F: '$1 == "brova"' "$root/etc/passwd")
[[ "$user" == brova:x:*:*:Brova\ CSV\ Sender:/var/lib/brova-csv-sender:/usr/sbin/nologin ]] ||
    fail "user brova: '$user'"
uid=$(echo "$user" | cut -d: -f3)
gid=$(awk -F: '$1 == "brova" { print $3 }' "$root/etc/group")
[ "$uid" -gt 0 ] && [ "$uid" -lt 1000 ] && [ -n "$gid" ] || fail "uid '$uid' gid '$gid'"
config="$root$prefix/BrovaCSVSenderConfig.xml"
state="$root/var/lib/brova-csv-sender"
[ "$(stat -c '%a %u %g' "$config")" = "640 0 $gid" ] || fail "config $(stat -c '%a %u %g' "$config")"
[ "$(stat -c '%a %u %g' "$state")" = "750 $uid $gid" ] || fail "state $(stat -c '%a %u %g' "$state")"

# The installed executable checks the shipped sample: only its example directories are
# missing (unless this machine has them), and nothing is written beside it.
set +e
"$root$prefix/BrovaCSVSender" /CHECK >"$work/check.out" 2>&1
check=$?
set -e
echo "== /CHECK of the installed sample (exit $check)"
cat "$work/check.out"
grep -qx 'Vexo Password is empty: every logon fails and files wait under their own names' \
    "$work/check.out" || fail "the sample's empty password is not named"
if grep -v '^Vexo Password is empty: ' "$work/check.out" |
    grep -qv '^Protocol [123] ([A-Z]*) \(Poll\|Status\|Reply\)Directory /var/lib/brova/[A-Z]*/[A-Za-z]* does not exist: '; then
    fail "unexpected findings"
fi
[ "$check" -le 1 ] || fail "/CHECK exit $check"
[ "$(ls "$root$prefix")" = "BrovaCSVSender
BrovaCSVSenderConfig.sample.xml
BrovaCSVSenderConfig.xml" ] || fail "/CHECK left files: $(ls "$root$prefix")"

# An upgrade keeps the edited configuration and its mode, and hands the service what a version
# run as root left: its files beside the executable move to the state directory (a name there
# already stays), and what lies in the state directory becomes brova's.
echo '<!-- edited -->' >>"$config"
echo old-log >"$root$prefix/BrovaCSVSender.Log"
echo kept >"$root$prefix/Unwritten-B7.CSV"
echo STATUS,1 >"$root$prefix/B8.CSV"
echo newer >"$state/B8.CSV"
echo notes >"$root$prefix/notes.txt"
chown 0:0 "$state/B8.CSV"
dpkg-deb -R "$deb" "$work/next"
sed -i 's/^Version: .*/&+next/' "$work/next/DEBIAN/control"
dpkg-deb -b "$work/next" "$work/next.deb" >/dev/null
dpkg_root -i "$work/next.deb"
[ "$(installed_version)" = "install ok installed $(dpkg-deb -f "$deb" Version)+next" ] ||
    fail "not upgraded: $(installed_version)"
grep -q 'edited' "$config" || fail "the upgrade replaced the edited configuration"
[ "$(stat -c '%a %u %g' "$config")" = "640 0 $gid" ] || fail "the upgrade changed the config mode"
[ "$(ls "$root$prefix")" = "B8.CSV
BrovaCSVSender
BrovaCSVSenderConfig.sample.xml
BrovaCSVSenderConfig.xml
notes.txt" ] || fail "beside the executable after the upgrade: $(ls "$root$prefix")"
for f in BrovaCSVSender.Log:old-log Unwritten-B7.CSV:kept B8.CSV:newer; do
    [ "$(cat "$state/${f%%:*}")" = "${f#*:}" ] || fail "state ${f%%:*}: $(cat "$state/${f%%:*}")"
    [ "$(stat -c '%u %g' "$state/${f%%:*}")" = "$uid $gid" ] || fail "owner of ${f%%:*}"
done
rm "$root$prefix/B8.CSV" "$root$prefix/notes.txt"

# A purge removes the package, its configuration and the process logs; kept lines stay.
touch "$state/BrovaCSVSender20240131100000.Log" "$root$prefix/BrovaCSVSender.Log"
dpkg_root --purge brova-csv-sender
[ -z "$(installed_version)" ] || [[ "$(installed_version)" == *"not-installed"* ]] ||
    fail "still installed: $(installed_version)"
[ ! -e "$root$unit" ] || fail "the unit is left"
[ ! -e "$root$prefix" ] || fail "after the purge: $(ls "$root$prefix")"
[ "$(ls "$state")" = "B8.CSV
Unwritten-B7.CSV" ] || fail "after the purge: $(ls "$state")"
echo "package: ok"
