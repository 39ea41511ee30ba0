#!/bin/bash
# Installs the build into a scratch prefix twice and checks what lands there.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
[ -x "$prefix/BrovaCSVSender" ] || fail "no executable in $prefix"
cmp -s "$prefix/BrovaCSVSenderConfig.xml" "$(dirname "$0")/BrovaCSVSenderConfig.xml" || fail "config differs from the sample"
[ -f "$prefix/BrovaCSVSenderConfig.sample.xml" ] || fail "no sample config"
# It holds the gateway password.
[ "$(stat -c '%a' "$prefix/BrovaCSVSenderConfig.xml")" = 600 ] || fail "config readable by others"
[ ! -e "$prefix/lib" ] || fail "the package's unit went into the prefix"

echo '<BulkCSVSender><!-- edited --></BulkCSVSender>' >"$prefix/BrovaCSVSenderConfig.xml"
cmake --install "$build" --prefix "$prefix" >/dev/null
grep -q 'edited' "$prefix/BrovaCSVSenderConfig.xml" || fail "a reinstall replaced the edited config"
echo "install layout: ok"
