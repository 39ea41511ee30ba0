#!/bin/bash
# Builds the Debian package from a build tree and checks it as an operator meets it: its
# contents and dependencies, an install into a scratch root with dpkg, the installed /CHECK,
# an upgrade over an edited configuration, and a purge.
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
-rw------- root/root .$prefix/BrovaCSVSenderConfig.xml"
[ "$listed" = "$expected" ] || fail "contents differ:
$listed"
dpkg-deb --info "$deb" conffiles | grep -qx "$prefix/BrovaCSVSenderConfig.xml" ||
    fail "the configuration is not a conffile"
# Every dependency is a package this machine has, the libraries the build linked among them.
for lib in libc6 libcurl4 libpugixml1v5 libstdc++6; do
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

root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The scratch root has no libraries of its own: the dependencies are checked above.
dpkg_root() { dpkg --root="$root" --force-script-chrootless --force-depends "$@" >>"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg $*"; }; }
installed_version() { dpkg-query --root="$root" -W -f='${Status} ${Version}' brova-csv-sender 2>/dev/null || true; }

dpkg_root -i "$deb"
[ "$(installed_version)" = "install ok installed $(dpkg-deb -f "$deb" Version)" ] || fail "not installed"
config="$root$prefix/BrovaCSVSenderConfig.xml"
[ "$(stat -c '%a %U' "$config")" = "600 root" ] || fail "config mode $(stat -c '%a %U' "$config")"

# The installed executable checks the shipped sample: only its example directories are
# missing (unless this machine has them), and nothing is written beside it.
set +e
"$root$prefix/BrovaCSVSender" /CHECK >"$work/check.out" 2>&1
check=$?
set -e
echo "== /CHECK of the installed sample (exit $check)"
cat "$work/check.out"
if grep -qv '^Protocol [123] ([A-Z]*) \(Poll\|Status\|Reply\)Directory /var/lib/brova/[A-Z]*/[A-Za-z]* does not exist: ' "$work/check.out"; then
    fail "unexpected findings"
fi
[ "$check" -le 1 ] || fail "/CHECK exit $check"
[ "$(ls "$root$prefix")" = "BrovaCSVSender
BrovaCSVSenderConfig.sample.xml
BrovaCSVSenderConfig.xml" ] || fail "/CHECK left files: $(ls "$root$prefix")"

# An upgrade keeps the edited configuration and its mode.
echo '<!-- edited -->' >>"$config"
dpkg-deb -R "$deb" "$work/next"
sed -i 's/^Version: .*/&+next/' "$work/next/DEBIAN/control"
dpkg-deb -b "$work/next" "$work/next.deb" >/dev/null
dpkg_root -i "$work/next.deb"
[ "$(installed_version)" = "install ok installed $(dpkg-deb -f "$deb" Version)+next" ] ||
    fail "not upgraded: $(installed_version)"
grep -q 'edited' "$config" || fail "the upgrade replaced the edited configuration"
[ "$(stat -c '%a' "$config")" = 600 ] || fail "the upgrade changed the config mode"

# A purge removes the package, its configuration and the process logs; kept lines stay.
touch "$root$prefix/BrovaCSVSender.Log" "$root$prefix/BrovaCSVSender20240131100000.Log" \
    "$root$prefix/Unwritten-B7.CSV"
dpkg_root --purge brova-csv-sender
[ -z "$(installed_version)" ] || [[ "$(installed_version)" == *"not-installed"* ]] ||
    fail "still installed: $(installed_version)"
[ ! -e "$root$unit" ] || fail "the unit is left"
[ "$(ls "$root$prefix")" = "Unwritten-B7.CSV" ] || fail "after the purge: $(ls "$root$prefix")"
echo "package: ok"
