#!/bin/bash
# The side-by-side end-to-end run: the service against the floor, at three sizes, as one part,
# and as a thousand small files, each against its own fresh gateway simulator. Ends with one
# table of every goal, its measured value and its target, to paste into a note.
#
#   bench/run_side_by_side.sh          (make bench runs it)
#   BUILD=build-x bench/run_side_by_side.sh
#   TMPDIR=/mnt/x bench/run_side_by_side.sh   every run's directories on that file system. An
#       ext4 without a journal (the disk of some virtual machines) checks, for every file made,
#       the inodes freed in the last minutes: the thousand files then cost more with every run.
#
# Builds nothing. Runs, in this order (bench/run_e2e.sh does each service run):
#   big     1,000,000 rows, Split 1, parts of 500
#   floor   the same envelopes posted over one connection by envelope-poster
#   r100k   100,000 rows, Split 1, parts of 500
#   r300k   300,000 rows, Split 1, parts of 500
#   one     1,000,000 rows, Split 0 (one part)
#   files   1,000 files of 100 rows, dropped at once
# Exit 1 when a run fails its own checks; a goal that is not met is reported, not failed.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-$ROOT/build}
[[ $BUILD = /* ]] || BUILD=$ROOT/$BUILD
export BUILD
kRows=1000000
kPart=500
PY=/usr/bin/python3
TICKS=$(getconf CLK_TCK)
[ -x "$BUILD/bench/envelope-poster" ] ||
    { echo "side_by_side: $BUILD/bench/envelope-poster not found; build first" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/brova-sbs-XXXXXX")
SIM_PID=
cleanup() {
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

declare -A R
# Keeps the "KEY=VALUE" figures of a finished run as R[NAME.KEY].
keep() {
    local name=$1 kv
    for kv in $2; do R[$name.${kv%%=*}]=${kv#*=}; done
}

# run NAME ROWS [VAR=VALUE...]: one service run of bench/run_e2e.sh.
run() {
    local name=$1 rows=$2
    shift 2
    echo "== $name: $rows rows${*:+ ($*)}"
    if ! env "$@" bench/run_e2e.sh "$rows" >"$WORK/$name.out" 2>&1; then
        cat "$WORK/$name.out" >&2
        exit 1
    fi
    grep -v '^run_e2e: result ' "$WORK/$name.out" | sed 's/^run_e2e: /   /'
    keep "$name" "$(sed -n 's/^run_e2e: result //p' "$WORK/$name.out")"
}

# The floor: a fresh simulator and envelope-poster, which builds the envelopes before its clock
# starts.
floor() {
    echo "== floor: $kRows rows in parts of $kPart, posted over one connection"
    "$BUILD/vexo-gateway-sim" --port 0 --username bench --password bench-secret >"$WORK/sim.out" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 100); do grep -q '^listening on ' "$WORK/sim.out" && break; sleep 0.1; done
    local url
    url=$(sed -n 's/^listening on //p' "$WORK/sim.out" | head -1)
    [ -n "$url" ] || { echo "side_by_side: the simulator did not start" >&2; exit 1; }
    local line
    line=$("$BUILD/bench/envelope-poster" "$url" bench bench-secret $kRows $kPart) || exit 1
    local cpu peak
    cpu=$(awk -v t="$TICKS" '{ sub(/.*\) /, ""); printf "%.2f", ($12 + $13) / t }' "/proc/$SIM_PID/stat")
    peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$SIM_PID/status")
    kill "$SIM_PID"
    wait "$SIM_PID" 2>/dev/null
    SIM_PID=
    keep floor "$line sim_cpu_s=$cpu sim_peak_kb=$peak"
    echo "   ${R[floor.parts]} envelopes in ${R[floor.wall_s]} s; simulator CPU $cpu s," \
        "peak memory $((peak / 1024)) MB"
}

run big $kRows SPLIT=1 MAX_MESSAGES=$kPart
floor
run r100k 100000 SPLIT=1 MAX_MESSAGES=$kPart
run r300k 300000 SPLIT=1 MAX_MESSAGES=$kPart
run one $kRows SPLIT=0
run files 100 FILES=1000 SPLIT=1 MAX_MESSAGES=$kPart

# The table. Every figure comes from R; awk does the arithmetic and the verdicts.
args=()
for k in "${!R[@]}"; do args+=(-v "${k//./_}=${R[$k]}"); done
echo
awk "${args[@]}" 'function row(goal, value, target, met) {
    printf "| %s | %s | %s | %s |\n", goal, value, target, met ? "yes" : "no"
}
function us(cpu, rows) { return cpu / rows * 1e6 }
function bytes(kb, rows) { return kb * 1024 / rows }
BEGIN {
    print "| goal | measured | target | met |"
    print "|---|---|---|---|"
    c = us(big_service_cpu_s, big_rows)
    row("service CPU per row, 1,000,000 rows in parts of 500", sprintf("%.2f us", c), "<= 1.0 us", c <= 1.0)
    m = bytes(big_service_peak_kb, big_rows)
    row("service peak memory per row, same run", sprintf("%.0f B", m), "<= 200 B", m <= 200)
    f = big_wall_s / floor_wall_s
    row(sprintf("end-to-end wall vs floor (%.2f s vs %.2f s)", big_wall_s, floor_wall_s),
        sprintf("%.2fx", f), "<= 1.15x", f <= 1.15)
    s = us(big_sim_cpu_s, big_rows)
    row("simulator CPU per message, service run", sprintf("%.2f us", s), "<= 1.0 us", s <= 1.0)
    s = us(floor_sim_cpu_s, big_rows)
    row("simulator CPU per message, floor run", sprintf("%.2f us", s), "<= 1.0 us", s <= 1.0)
    m = bytes(one_service_peak_kb, one_rows)
    row("one part of 1,000,000 (Split 0): service peak memory per row", sprintf("%.0f B", m),
        "<= 1536 B", m <= 1536)
    m = bytes(one_sim_peak_kb, one_rows)
    row("one part of 1,000,000: simulator peak memory per row", sprintf("%.0f B", m), "<= 1536 B",
        m <= 1536)
    f = one_wall_s / big_wall_s
    row(sprintf("one part of 1,000,000: wall vs parts of 500 (%.2f s vs %.2f s)", one_wall_s,
        big_wall_s), sprintf("%.2fx", f), "<= 2x", f <= 2)
    f = files_wall_s / r100k_wall_s
    row(sprintf("1,000 files of 100 rows vs one 100,000-row file (%.2f s vs %.2f s)",
        files_wall_s, r100k_wall_s), sprintf("%.2fx", f), "<= 2x", f <= 2)
    row("TCP connections for SOAP, the 1,000,000-row file (1 worker + the dispatcher logons)",
        big_soap_connections " for " big_soap_calls " calls", "<= 2", big_soap_connections <= 2)
    row("TCP connections for SOAP, 1,000 files (1,000 workers + the dispatcher logons)",
        files_soap_connections " for " files_soap_calls " calls", "<= 1001",
        files_soap_connections <= 1001)
    w1 = big_wall_s / big_rows * 1e6; w3 = r300k_wall_s / r300k_rows * 1e6
    w0 = r100k_wall_s / r100k_rows * 1e6
    row("wall per row at 100,000 / 300,000 / 1,000,000 rows",
        sprintf("%.2f / %.2f / %.2f us", w0, w3, w1), "1,000,000 <= 1.5 x 100,000", w1 <= 1.5 * w0)
    c0 = us(r100k_service_cpu_s, r100k_rows); c3 = us(r300k_service_cpu_s, r300k_rows)
    c1 = us(big_service_cpu_s, big_rows)
    row("service CPU per row at 100,000 / 300,000 / 1,000,000 rows",
        sprintf("%.2f / %.2f / %.2f us", c0, c3, c1), "1,000,000 <= 1.5 x 100,000", c1 <= 1.5 * c0)
}'
