#!/bin/bash
# Takes the Windows executable through the service manager under Wine: /INSTALL, the stored
# configuration, a start that fails without its configuration file, start, a file sent
# through the gateway simulator of the Linux build, pause, continue, stop and /UNINSTALL.
# Runs in a Wine prefix of its own, copied from $BROVA_SOURCE_PREFIX (default: $WINEPREFIX,
# else /tmp/wineprefix; made there first when missing), which it removes at the end.
#   service_test.sh BrovaCSVSender.exe [vexo-gateway-sim]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] && [ -f "$1" ] || { echo "usage: $0 BrovaCSVSender.exe [vexo-gateway-sim]" >&2; exit 2; }
exe=$(realpath "$1")
simulator=${2:-$here/../../build/vexo-gateway-sim}
sample=$here/../BrovaCSVSenderConfig.xml
name=svcBrovaCSVSender
display="Brova CSV Sender"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
source_prefix=${BROVA_SOURCE_PREFIX:-${WINEPREFIX:-/tmp/wineprefix}}
win_dir='C:\BrovaCSVSender'
win_exe="$win_dir\\BrovaCSVSender.exe"

export WINEDEBUG=-all
if [ ! -d "$source_prefix/drive_c" ]; then
    WINEPREFIX=$source_prefix "$wine" wineboot -i >/dev/null 2>&1
fi
WINEPREFIX=$(mktemp -d /tmp/brova-service-test.XXXXXX)
export WINEPREFIX
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    "$wineserver" -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
cp -a "$source_prefix/." "$WINEPREFIX/" || exit 1
# One wineserver for the whole test: the service manager and the service live in it. Not
# wineboot -i here: on a running server it starts a second services.exe, and requests then
# alternate between two service databases.
"$wineserver" -p >/dev/null 2>&1
"$wine" wineboot >/dev/null 2>&1
dir="$WINEPREFIX/drive_c/BrovaCSVSender"
mkdir -p "$dir" && cp "$exe" "$dir/BrovaCSVSender.exe" || exit 1

# Wine's sc knows neither pause and continue nor the stored configuration.
ctl_src="$WINEPREFIX/ctl.cpp"
cat >"$ctl_src" <<'EOF'
#include <windows.h>
#include <cstdio>
#include <cwchar>
int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    SC_HANDLE Manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE Service = Manager ? OpenServiceW(Manager, argv[2], SERVICE_ALL_ACCESS) : nullptr;
    if (!Service) { std::printf("cannot open %ls: %lu\n", argv[2], GetLastError()); return 1; }
    if (!wcscmp(argv[1], L"pause") || !wcscmp(argv[1], L"continue")) {
        SERVICE_STATUS Status{};
        DWORD Control = argv[1][0] == L'p' ? SERVICE_CONTROL_PAUSE : SERVICE_CONTROL_CONTINUE;
        if (ControlService(Service, Control, &Status)) return 0;
        std::printf("%ls failed: %lu\n", argv[1], GetLastError());
        return 1;
    }
    static BYTE Buffer[8192];
    DWORD Needed = 0;
    auto* Config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(Buffer);
    if (!QueryServiceConfigW(Service, Config, sizeof Buffer, &Needed)) return 1;
    std::printf("TYPE %lu\nSTART_TYPE %lu\nBINARY_PATH_NAME %ls\nDISPLAY_NAME %ls\n"
                "SERVICE_START_NAME %ls\n", Config->dwServiceType, Config->dwStartType,
                Config->lpBinaryPathName, Config->lpDisplayName, Config->lpServiceStartName);
    auto* Description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(Buffer);
    if (QueryServiceConfig2W(Service, SERVICE_CONFIG_DESCRIPTION, Buffer, sizeof Buffer, &Needed))
        std::printf("DESCRIPTION %ls\n", Description->lpDescription ? Description->lpDescription : L"");
    auto* Failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(Buffer);
    if (QueryServiceConfig2W(Service, SERVICE_CONFIG_FAILURE_ACTIONS, Buffer, sizeof Buffer, &Needed)) {
        std::printf("RESET_PERIOD %lu\n", Failure->dwResetPeriod);
        for (DWORD I = 0; I < Failure->cActions; ++I)
            std::printf("ACTION %d %lu\n", Failure->lpsaActions[I].Type, Failure->lpsaActions[I].Delay);
    }
    return 0;
}
EOF
x86_64-w64-mingw32-g++-posix -municode -static -O1 "$ctl_src" -o "$dir/ctl.exe" || exit 1

out=""
fail() {
    echo "FAIL: $*"
    printf '%s\n' "$out"
    exit 1
}
# Runs a command under Wine; its output, without carriage returns, lands in $out.
run() {
    "$wine" "$@" >"$WINEPREFIX/out" 2>&1
    local rc=$?
    out=$(tr -d '\r' <"$WINEPREFIX/out")
    return $rc
}
# Polls sc query until the service reaches State; fails after about 30 s.
wait_state() {
    for _ in $(seq 150); do
        run sc query "$name"
        grep -Eq "STATE +: [0-9]+ +$1\$" <<<"$out" && return 0
        sleep 0.2
    done
    fail "the service did not reach $1"
}
expect_line() {
    grep -Fxq -- "$1" <<<"$out" || fail "missing line: $1"
}

echo "== /INSTALL"
run "$win_exe" /INSTALL || fail "/INSTALL exited with $?"
[ "$out" = "Service installed successfully" ] || fail "/INSTALL said something else"
run "$win_exe" /INSTALL && fail "a second /INSTALL succeeded"
grep -q "^$display: Cannot create the service $name: " <<<"$out" || fail "a second /INSTALL said something else"

echo "== stored configuration"
run "$win_dir\\ctl.exe" config "$name" || fail "cannot read the configuration"
expect_line "TYPE 16"
expect_line "START_TYPE 2"
expect_line "BINARY_PATH_NAME \"$win_exe\""
expect_line "DISPLAY_NAME $display"
expect_line "SERVICE_START_NAME LocalSystem"
expect_line "DESCRIPTION $display"
# Wine accepts the restart actions but keeps none; on Windows they read back.
if grep -q '^RESET_PERIOD [1-9]' <<<"$out"; then
    expect_line "RESET_PERIOD 86400"
    [ "$(grep -c '^ACTION 1 10000$' <<<"$out")" = 3 ] || fail "not three restarts after 10 s"
else
    echo "   (restart actions not kept by Wine)"
fi
for source in "$name" BrovaCSVSender.exe; do
    run reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$source"
    grep -Eq "EventMessageFile +REG_EXPAND_SZ +C:\\\\BrovaCSVSender\\\\BrovaCSVSender.exe$" <<<"$out" ||
        fail "event source $source not registered"
done

echo "== started by hand"
run "$win_exe" && fail "a start by hand succeeded"
[ "$out" = "BrovaCSVSender.exe: The service process could not connect to the service controller." ] ||
    fail "a start by hand said something else"

echo "== a start without its configuration fails"
run net start "$name"
wait_state STOPPED
grep -Eq "WIN32_EXIT_CODE +: 1066 " <<<"$out" || fail "not a service-specific exit"
grep -Eq "SERVICE_EXIT_CODE +: 1 " <<<"$out" || fail "not exit code 1"

echo "== start"
# The sample, with the shares beside the executable, a poll every second, and the simulator.
url="http://127.0.0.1:9/csp/vexo/Vexo.Webservice.cls"
if [ -x "$simulator" ]; then
    "$simulator" --port 0 --username account --password secret >"$WINEPREFIX/sim.out" 2>&1 &
    sim_pid=$!
    for _ in $(seq 50); do
        grep -q '^listening on ' "$WINEPREFIX/sim.out" && break
        sleep 0.1
    done
    url=$(sed -n 's/^listening on //p' "$WINEPREFIX/sim.out")
    [ -n "$url" ] || { out=$(cat "$WINEPREFIX/sim.out"); fail "the simulator did not start"; }
fi
sed -e "s#URL=\"[^\"]*\"#URL=\"$url\"#" -e 's#Password=""#Password="secret"#' \
    -e 's#PollInterval="[0-9]*"#PollInterval="1000"#' \
    -e 's#/var/lib/brova/\([A-Z]*\)/\([A-Za-z]*\)#C:\\BrovaCSVSender\\\1\\\2#g' \
    "$sample" >"$dir/BrovaCSVSenderConfig.xml" || exit 1
for channel in SMS FAX EMAIL; do mkdir -p "$dir/$channel/In" "$dir/$channel/Status" "$dir/$channel/Reply"; done

echo "== /CHECK and /VALIDATE"
run "$win_exe" /CHECK || fail "/CHECK found something"
[ "$out" = "Nothing in C:\\BrovaCSVSender\\BrovaCSVSenderConfig.xml would fail." ] || fail "/CHECK said something else"
printf '0821234567,R1,TXT,Hello\r\nbad,R2,TXT,x\r\n' >"$dir/SMS/In/TRY.csv"
run "$win_exe" /VALIDATE "$win_dir\\SMS\\In\\TRY.csv"
[ "$(tr -d '\r' <<<"$out")" = $'bad,R2,"Cell no. is invalid"\n2 rows: 1 accepted, 1 rejected' ] ||
    fail "/VALIDATE said something else"
rm "$dir/SMS/In/TRY.csv"
run net start "$name" || fail "net start exited with $?"
wait_state RUNNING
grep -Eq "WIN32_EXIT_CODE +: 0 " <<<"$out" || fail "the exit code of the failed start stayed"

if [ -n "$sim_pid" ]; then
    echo "== a file through the gateway"
    printf '0821234567,R1,TXT,Hello\r\n' >"$dir/SMS/In/ABC.csv"
    confirmation="$dir/SMS/Status/Confirmation-ABC.CSV"
    for _ in $(seq 150); do
        [ -f "$confirmation" ] && break
        sleep 0.2
    done
    out=$(ls -l "$dir/SMS/In" "$dir/SMS/Status"; cat "$dir"/SMS/In/*.log 2>/dev/null)
    [ -f "$confirmation" ] || fail "no confirmation file"
    out=$(tr -d '\r' <"$confirmation")
    grep -Eq '^"0821234567","R1","Sucessfully submitted to Vexo.","MessageID=[^"]+"$' <<<"$out" ||
        fail "the confirmation does not confirm the message"
    [ ! -e "$dir/SMS/In/ABC.csv" ] || fail "the file was not claimed"
else
    echo "   (no gateway simulator at $simulator: no file sent)"
fi

echo "== pause"
run "$win_dir\\ctl.exe" pause "$name" || fail "pause refused"
wait_state PAUSED

echo "== continue"
run "$win_dir\\ctl.exe" continue "$name" || fail "continue refused"
wait_state RUNNING

echo "== stop"
run sc stop "$name" || { run sc query "$name"; fail "sc stop refused"; }
wait_state STOPPED
grep -Eq "WIN32_EXIT_CODE +: 0 " <<<"$out" || fail "the stop was not clean"

echo "== /UNINSTALL"
run "$win_exe" /UNINSTALL || fail "/UNINSTALL exited with $?"
[ "$out" = "Service uninstalled successfully" ] || fail "/UNINSTALL said something else"
run sc query "$name" && fail "the service is still there"
run reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$name" &&
    fail "the event source is still there"
run "$win_exe" /UNINSTALL && fail "a second /UNINSTALL succeeded"
grep -q "^$display: Cannot open the service $name: " <<<"$out" || fail "a second /UNINSTALL said something else"

echo "service under Wine: ok"
