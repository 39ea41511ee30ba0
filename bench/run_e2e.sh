#!/bin/bash
# End-to-end load benchmark: one large SMS file through the running service and the gateway
# simulator, sent in parts of 500 messages, without result mail.
#
#   bench/run_e2e.sh [ROWS]        ROWS defaults to 100000
#   BUILD=build-x bench/run_e2e.sh  executables from another build directory (default: build)
#
# Builds nothing. Prints the wall time from the moment the file becomes claimable until its
# confirmation file is complete and the claimed file cleaned up, the rows per second, and the
# service's peak resident memory (VmHWM) read just before it is stopped. Exit 0 only when the
# confirmation holds the header and one identified line per row, the simulator received every
# row exactly as many times as there are rows, and the service stops cleanly on SIGTERM.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-$ROOT/build}
[[ $BUILD = /* ]] || BUILD=$ROOT/$BUILD
ROWS=${1:-100000}
kMaxMessages=500
kPollIntervalMs=100
kTimeoutSeconds=${E2E_TIMEOUT_SECONDS:-1800}
PY=/usr/bin/python3

for exe in BrovaCSVSender vexo-gateway-sim; do
    [ -x "$BUILD/$exe" ] || { echo "run_e2e: $BUILD/$exe not found; build first" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/brova-e2e-XXXXXX")
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "run_e2e FAILED: $*" >&2
    echo "--- service log ---" >&2; tail -20 "$WORK/service/BrovaCSVSender.Log" 2>/dev/null >&2
    echo "--- per-file log ---" >&2; tail -20 "$WORK/SMS/In/"*.log 2>/dev/null >&2
    echo "--- service output ---" >&2; tail -20 "$WORK/service.out" 2>/dev/null >&2
    exit 1
}

# Gateway simulator on a free port.
"$BUILD/vexo-gateway-sim" --port 0 --username bench --password bench-secret >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
PIDS+=($SIM_PID)
for _ in $(seq 100); do grep -q '^listening on ' "$WORK/sim.out" && break; sleep 0.1; done
GATEWAY_URL=$(sed -n 's/^listening on //p' "$WORK/sim.out" | head -1)
[ -n "$GATEWAY_URL" ] || fail "the gateway simulator did not start"

# The service with its configuration beside it.
mkdir -p "$WORK/service" "$WORK/SMS/In" "$WORK/SMS/Status" "$WORK/SMS/Reply"
cp "$BUILD/BrovaCSVSender" "$WORK/service/"
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
    <Submissions Split="1" MaxMessages="$kMaxMessages"/>
  </Settings>
</BulkCSVSender>
XML

"$WORK/service/BrovaCSVSender" /CONSOLE >"$WORK/service.out" 2>&1 &
SERVICE_PID=$!
PIDS+=($SERVICE_PID)
for _ in $(seq 100); do
    grep -q 'Started up\.' "$WORK/service/BrovaCSVSender.Log" 2>/dev/null && break
    sleep 0.1
done
kill -0 $SERVICE_PID 2>/dev/null || fail "the service did not start"

# The input file, written outside the poll directory and aged past the claim delay, then moved
# in with one rename so the service sees it whole.
awk -v n="$ROWS" 'BEGIN { for (i = 1; i <= n; i++) printf "082%07d,REF%d,TXT,Bench message number %d\r\n", i, i, i }' \
    >"$WORK/BENCH.1.csv"
touch -d '-10 seconds' "$WORK/BENCH.1.csv"
CONFIRMATION=$WORK/SMS/Status/Confirmation-BENCH.CSV

START=$(date +%s.%N)
mv "$WORK/BENCH.1.csv" "$WORK/SMS/In/BENCH.1.csv"
# Done when the confirmation is saved and the claimed file and its log are cleaned up after it.
deadline=$((SECONDS + kTimeoutSeconds))
until [ -e "$CONFIRMATION" ] && [ -z "$(ls -A "$WORK/SMS/In")" ]; do
    kill -0 $SERVICE_PID 2>/dev/null || fail "the service ended early"
    [ $SECONDS -ge $deadline ] && fail "no confirmation within ${kTimeoutSeconds}s"
    sleep 0.02
done
END=$(date +%s.%N)

PEAK_KB=$(awk '/^VmHWM:/ { print $2 }' /proc/$SERVICE_PID/status)
SIM_PEAK_KB=$(awk '/^VmHWM:/ { print $2 }' /proc/$SIM_PID/status)

kill -TERM $SERVICE_PID
for _ in $(seq 300); do kill -0 $SERVICE_PID 2>/dev/null || break; sleep 0.1; done
kill -0 $SERVICE_PID 2>/dev/null && fail "the service did not stop on SIGTERM"
wait $SERVICE_PID
status=$?
[ $status -eq 0 ] || fail "the service exited with status $status"

LINES=$(wc -l <"$CONFIRMATION")
IDENTIFIED=$(grep -c '"MessageID=[0-9]*"$' <(tr -d '\r' <"$CONFIRMATION"))
[ "$LINES" -eq $((ROWS + 1)) ] || fail "the confirmation has $LINES lines, expected $((ROWS + 1))"
[ "$IDENTIFIED" -eq "$ROWS" ] || fail "$IDENTIFIED confirmation lines carry a MessageID, expected $ROWS"
# Every reference exactly once at the gateway.
read -r RECEIVED DISTINCT < <("$PY" - "${GATEWAY_URL%%/csp/*}/control/messages" <<'PYEOF'
import sys, urllib.request
refs = [line.split(",")[4] for line in urllib.request.urlopen(sys.argv[1]).read().decode().splitlines()]
print(len(refs), len(set(refs)))
PYEOF
)
[ "$RECEIVED" -eq "$ROWS" ] || fail "the simulator received $RECEIVED messages, expected $ROWS"
[ "$DISTINCT" -eq "$ROWS" ] || fail "the simulator received $DISTINCT distinct references, expected $ROWS"

awk -v rows="$ROWS" -v start="$START" -v end="$END" -v peak="$PEAK_KB" -v simpeak="$SIM_PEAK_KB" \
    -v parts=$(((ROWS + kMaxMessages - 1) / kMaxMessages)) 'BEGIN {
    wall = end - start
    printf "run_e2e: %d rows in %d parts of up to 500, one SMS file\n", rows, parts
    printf "run_e2e: wall time %.2f s (file claimable to confirmation saved and cleaned up)\n", wall
    printf "run_e2e: %.0f rows/s\n", rows / wall
    printf "run_e2e: service peak memory (VmHWM) %.1f MB; simulator %.1f MB\n", peak / 1024, simpeak / 1024
}'
