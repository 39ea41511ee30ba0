#!/bin/bash
# End-to-end load benchmark: SMS files of ROWS rows each through the running service (/CONSOLE)
# and its own fresh gateway simulator, without result mail.
#
#   bench/run_e2e.sh [ROWS]        ROWS defaults to 100000
#   SPLIT=0 bench/run_e2e.sh ...   each file as one part (default 1: parts of MAX_MESSAGES)
#   MAX_MESSAGES=N                 messages per part when SPLIT is 1 (default 500)
#   FILES=N                        N files of ROWS rows dropped at once (default 1)
#   BUILD=build-x bench/run_e2e.sh executables from another build directory (default: build)
#   SERVICE_EXE=FILE LAUNCHER=CMD  that service executable instead, started through CMD (the
#                                  Windows build: SERVICE_EXE=build-windows/BrovaCSVSender.exe
#                                  LAUNCHER=/usr/lib/wine/wine64, inside
#                                  packaging/windows/wine-session.sh); stopped with SIGINT
#
# Builds nothing. Prints the wall time from the moment the files become claimable until every
# confirmation file is complete and the claimed files are cleaned up, the rows per second, the
# service's CPU (user + system of the whole process) and peak resident memory (VmHWM, read just
# before it is stopped), the simulator's CPU and peak memory, both over the whole run, and the TCP
# connections that carried the simulator's SOAP calls. The last line holds the same figures as "run_e2e: result KEY=VALUE ...".
# Exit 0 only when every confirmation holds its header and one identified line per row, the
# simulator received every row exactly once, and the service stops cleanly on SIGTERM.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-$ROOT/build}
[[ $BUILD = /* ]] || BUILD=$ROOT/$BUILD
ROWS=${1:-100000}
SPLIT=${SPLIT:-1}
kMaxMessages=${MAX_MESSAGES:-500}
FILES=${FILES:-1}
kPollIntervalMs=100
kTimeoutSeconds=${E2E_TIMEOUT_SECONDS:-1800}
PY=/usr/bin/python3
TICKS=$(getconf CLK_TCK)
TOTAL=$((ROWS * FILES))

SERVICE_EXE=${SERVICE_EXE:-$BUILD/BrovaCSVSender}
LAUNCHER=${LAUNCHER:-}
# Wine hands SIGINT to the console control handler; SIGTERM would end the process.
STOP_SIGNAL=$([ -n "$LAUNCHER" ] && echo INT || echo TERM)
[ -f "$SERVICE_EXE" ] || { echo "run_e2e: $SERVICE_EXE not found; build first" >&2; exit 1; }
for exe in vexo-gateway-sim; do
    [ -x "$BUILD/$exe" ] || { echo "run_e2e: $BUILD/$exe not found; build first" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/brova-e2e-XXXXXX")
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "run_e2e FAILED: $*" >&2
    echo "--- service log ---" >&2; tail -20 "$WORK/service/BrovaCSVSender.Log" 2>/dev/null >&2
    echo "--- per-file log ---" >&2; tail -20 "$WORK/SMS/In/"*.log 2>/dev/null >&2
    echo "--- service output ---" >&2; tail -20 "$WORK/service.out" 2>/dev/null >&2
    exit 1
}

# CPU seconds (user + system, all threads) of a running process.
cpu_seconds() {
    awk -v t="$TICKS" '{ sub(/.*\) /, ""); printf "%.2f", ($12 + $13) / t }' "/proc/$1/stat"
}
peak_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

# Gateway simulator on a free port.
"$BUILD/vexo-gateway-sim" --port 0 --username bench --password bench-secret >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
PIDS+=($SIM_PID)
for _ in $(seq 100); do grep -q '^listening on ' "$WORK/sim.out" && break; sleep 0.1; done
GATEWAY_URL=$(sed -n 's/^listening on //p' "$WORK/sim.out" | head -1)
[ -n "$GATEWAY_URL" ] || fail "the gateway simulator did not start"
SIM_BASE=${GATEWAY_URL%%/csp/*}

# The service with its configuration beside it.
mkdir -p "$WORK/service" "$WORK/SMS/In" "$WORK/SMS/Status" "$WORK/SMS/Reply" "$WORK/stage"
cp "$SERVICE_EXE" "$WORK/service/"
cat >"$WORK/service/BrovaCSVSenderConfig.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<BulkCSVSender>
  <OperationalTime Enabled="false" StartTime="00:00" EndTime="23:59:59"/>
  <Vexo URL="$GATEWAY_URL" Username="bench" Password="bench-secret">
    <Sender Name="Bench" CellNo="0820000000" EmailAdress="bench@example.com" FaxNo="0110000000" TelNo=""/>
  </Vexo>
  <Settings PollInterval="$kPollIntervalMs" StatusInterval="0" ReplyInterval="0"
            ValidSACellExtensions="082;083;084" Format="" Priority="1">
    <Mail Host="127.0.0.1" Port="25" MailAgent="bench" Subject="bench" FromAddress="bench@example.com"
          FromName="Bench" SendConfirmation="false">
      <BodyText/>
      <ErrorText/>
    </Mail>
    <Protocols>
      <Protocol Name="SMS" Enabled="true" PollDirectory="$WORK/SMS/In" PollFileType="*.csv"
                StatusDirectory="$WORK/SMS/Status" ReplyDirectory="$WORK/SMS/Reply"/>
    </Protocols>
    <Submissions Split="$SPLIT" MaxMessages="$kMaxMessages"/>
  </Settings>
</BulkCSVSender>
XML

$LAUNCHER "$WORK/service/$(basename "$SERVICE_EXE")" /CONSOLE >"$WORK/service.out" 2>&1 &
SERVICE_PID=$!
PIDS+=($SERVICE_PID)
for _ in $(seq 100); do
    grep -q 'Started up\.' "$WORK/service/BrovaCSVSender.Log" 2>/dev/null && break
    sleep 0.1
done
kill -0 $SERVICE_PID 2>/dev/null || fail "the service did not start"

# The input files, written outside the poll directory and aged past the claim delay, then moved
# in at once so the service sees each one whole. One file is BENCH.1.csv; more are
# F0001.1.csv... Every row has its own cell number and reference.
if [ "$FILES" -eq 1 ]; then NAMES=(BENCH); else NAMES=($(seq -f 'F%04g' 1 "$FILES")); fi
awk -v n="$ROWS" -v dir="$WORK/stage" -v names="${NAMES[*]}" 'BEGIN {
    k = split(names, name, " ")
    for (f = 1; f <= k; f++) {
        out = dir "/" name[f] ".1.csv"
        for (i = 1; i <= n; i++) {
            g = (f - 1) * n + i
            printf "082%07d,REF%d,TXT,Bench message number %d\r\n", g, g, g > out
        }
        close(out)
    }
}'
touch -d '-10 seconds' "$WORK/stage/"*.csv

# The wait below starts no process: on two cores a poll of forked ls and sleep took a quarter of
# the CPU from the service and the simulator it measures.
exec {kNeverReady}<> <(:)
shopt -s nullglob dotglob
START=${EPOCHREALTIME/,/.}
mv "$WORK/stage/"*.csv "$WORK/SMS/In/"
# Done when every confirmation is saved and the claimed files and their logs are cleaned up.
deadline=$((SECONDS + kTimeoutSeconds))
while :; do
    left=("$WORK/SMS/In/"*)
    confirmed=("$WORK/SMS/Status/Confirmation-"*)
    [ ${#left[@]} -eq 0 ] && [ ${#confirmed[@]} -eq "$FILES" ] && break
    kill -0 $SERVICE_PID 2>/dev/null || fail "the service ended early"
    [ $SECONDS -ge $deadline ] && fail "not confirmed within ${kTimeoutSeconds}s"
    read -r -t 0.02 -u $kNeverReady
done
END=${EPOCHREALTIME/,/.}
shopt -u nullglob dotglob

SERVICE_CPU=$(cpu_seconds $SERVICE_PID)
SIM_CPU=$(cpu_seconds $SIM_PID)
PEAK_KB=$(peak_kb $SERVICE_PID)
SIM_PEAK_KB=$(peak_kb $SIM_PID)
STATS=$("$PY" -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1]).read().decode())' \
    "$SIM_BASE/control/stats") || fail "the simulator's counts could not be read"
SOAP_CONNECTIONS=$(awk '$1 == "soap-connections" { print $2 }' <<<"$STATS")
SOAP_REQUESTS=$(awk '$1 == "soap-requests" { print $2 }' <<<"$STATS")

kill -$STOP_SIGNAL $SERVICE_PID
for _ in $(seq 300); do kill -0 $SERVICE_PID 2>/dev/null || break; sleep 0.1; done
kill -0 $SERVICE_PID 2>/dev/null && fail "the service did not stop on SIG$STOP_SIGNAL"
wait $SERVICE_PID
status=$?
[ $status -eq 0 ] || fail "the service exited with status $status"

# Every confirmation: its header and one identified line per row.
awk -v rows="$ROWS" '{
    n[FILENAME]++
    if ($0 ~ /"MessageID=[0-9]*"\r?$/) identified[FILENAME]++
} END {
    for (f in n)
        if (n[f] != rows + 1 || identified[f] != rows) {
            printf "%s has %d lines, %d identified; expected %d and %d\n", f, n[f], identified[f],
                rows + 1, rows
            exit 1
        }
}' "$WORK/SMS/Status/Confirmation-"*.CSV >"$WORK/check.out" || fail "$(cat "$WORK/check.out")"
# Every reference exactly once at the gateway.
read -r RECEIVED DISTINCT < <("$PY" - "$SIM_BASE/control/messages" <<'PYEOF'
import sys, urllib.request
refs = [line.split(",")[4] for line in urllib.request.urlopen(sys.argv[1]).read().decode().splitlines()]
print(len(refs), len(set(refs)))
PYEOF
)
[ "$RECEIVED" -eq "$TOTAL" ] || fail "the simulator received $RECEIVED messages, expected $TOTAL"
[ "$DISTINCT" -eq "$TOTAL" ] || fail "the simulator received $DISTINCT distinct references, expected $TOTAL"

PARTS=$(( SPLIT == 1 ? FILES * ((ROWS + kMaxMessages - 1) / kMaxMessages) : FILES ))
awk -v rows="$TOTAL" -v files="$FILES" -v parts="$PARTS" -v start="$START" -v end="$END" \
    -v cpu="$SERVICE_CPU" -v simcpu="$SIM_CPU" \
    -v peak="$PEAK_KB" -v simpeak="$SIM_PEAK_KB" -v conns="$SOAP_CONNECTIONS" \
    -v calls="$SOAP_REQUESTS" 'BEGIN {
    wall = end - start
    printf "run_e2e: %d rows in %d file(s), %d part(s)\n", rows, files, parts
    printf "run_e2e: wall time %.2f s (files claimable to confirmations saved and cleaned up)\n", wall
    printf "run_e2e: %.0f rows/s\n", rows / wall
    printf "run_e2e: service CPU %.2f s (%.2f us/row); peak memory (VmHWM) %.1f MB (%.0f B/row)\n",
        cpu, (cpu) / rows * 1e6, peak / 1024, peak * 1024 / rows
    printf "run_e2e: simulator CPU %.2f s (%.2f us/message); peak memory %.1f MB (%.0f B/row)\n",
        simcpu, (simcpu) / rows * 1e6, simpeak / 1024, simpeak * 1024 / rows
    printf "run_e2e: the simulator took %d SOAP calls over %d TCP connection(s)\n", calls, conns
    printf "run_e2e: result rows=%d files=%d parts=%d wall_s=%.3f service_cpu_s=%.2f", rows, files,
        parts, wall, cpu
    printf " service_peak_kb=%d sim_cpu_s=%.2f sim_peak_kb=%d soap_connections=%d soap_calls=%d\n",
        peak, simcpu, simpeak, conns, calls
}'
