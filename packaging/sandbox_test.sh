#!/bin/bash
# Runs the service under the sandbox of the unit /INSTALL writes, as a transient unit of this
# machine's systemd: one SMS file sent to the gateway simulator and confirmed, statuses filed,
# the process log in the state directory systemd made, nothing written beside the executable.
# It needs systemd as the running service manager and root; ctest counts 77 as skipped.
set -euo pipefail
build=$1
[ "$(id -u)" = 0 ] || { echo "skipped: a system unit needs root"; exit 77; }
[ -d /run/systemd/system ] ||
    { echo "skipped: systemd is not the running service manager (PID 1 is $(cat /proc/1/comm))"; exit 77; }
fail() {
    echo "FAIL: $*"
    journalctl -u "$unit" --no-pager 2>/dev/null | tail -30 || true
    exit 1
}
unit=brova-sandbox-test-$$
state=/var/lib/$unit
# Neither /tmp nor /var/tmp: the unit has a private one. Its user must reach the tree.
work=$(mktemp -d -p /var/lib brova-sandbox.XXXXXX)
chmod 0755 "$work"
sim=
cleanup() {
    systemctl stop "$unit" 2>/dev/null || true
    systemctl reset-failed "$unit" 2>/dev/null || true
    [ -z "$sim" ] || kill "$sim" 2>/dev/null || true
    rm -rf "$work" "$state"
}
trap cleanup EXIT

# The unit's [Service] lines, as properties, save those of a long-running notify service.
mkdir "$work/units"
BROVA_UNIT_DIR="$work/units" "$build/BrovaCSVSender" /INSTALL /SILENT /USER nobody
props=()
while IFS= read -r line; do
    case "$line" in
        Type=* | ExecStart=* | Restart* | Timeout* | WatchdogSec=* | StateDirectory=*) ;;
        *=*) props+=(-p "$line") ;;
    esac
done < <(sed -n '/^\[Service\]/,/^\[/p' "$work/units/svcBrovaCSVSender.service")
[[ " ${props[*]} " == *" -p User=nobody "* ]] || fail "no User= in the unit"

"$build/vexo-gateway-sim" --port 0 --username u --password p >"$work/sim.out" 2>&1 &
sim=$!
for _ in $(seq 100); do grep -q '^listening on ' "$work/sim.out" && break; sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/sim.out" | head -1)
[ -n "$url" ] || fail "the gateway simulator did not start"

mkdir -p "$work/service" "$work/SMS/In" "$work/SMS/Status" "$work/SMS/Reply"
cp "$build/BrovaCSVSender" "$work/service/"
cat >"$work/service/BrovaCSVSenderConfig.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<BulkCSVSender>
  <OperationalTime Enabled="false" StartTime="00:00" EndTime="23:59:59"/>
  <Vexo URL="$url" Username="u" Password="p">
    <Sender Name="S" CellNo="0820000000" EmailAdress="s@x.test" FaxNo="0110000000" TelNo=""/>
  </Vexo>
  <Settings PollInterval="500" StatusInterval="1000" ReplyInterval="1000"
            ValidSACellExtensions="082" Format="" Priority="1">
    <Mail Host="127.0.0.1" Port="25" MailAgent="m" Subject="s" FromAddress="b@x.test"
          FromName="b" SendConfirmation="false"/>
    <Protocols>
      <Protocol Name="SMS" Enabled="true" PollDirectory="$work/SMS/In" PollFileType="*.csv"
                StatusDirectory="$work/SMS/Status" ReplyDirectory="$work/SMS/Reply"/>
    </Protocols>
    <Submissions Split="1" MaxMessages="10"/>
  </Settings>
</BulkCSVSender>
XML
printf '0821234567,R1,TXT,Hello\r\n' >"$work/SMS/In/ORDERS.csv"
touch -d '-5 seconds' "$work/SMS/In/ORDERS.csv"
chown -R nobody "$work/SMS" "$work/service/BrovaCSVSenderConfig.xml"
before=$(ls "$work/service")

systemd-run --quiet --unit="$unit" -p StateDirectory="$unit" -p StateDirectoryMode=0750 \
    "${props[@]}" -- "$work/service/BrovaCSVSender" /CONSOLE
confirmation="$work/SMS/Status/Confirmation-ORDERS.CSV"
status="$work/SMS/Status/ORDERS.CSV"
for _ in $(seq 300); do
    [ -f "$confirmation" ] && [ -f "$status" ] && [ "$(wc -l <"$status")" -ge 2 ] && break
    systemctl is-active -q "$unit" || fail "the sandboxed service ended"
    sleep 0.1
done
[ "$(head -1 "$confirmation" | tr -d '\r')" = "Cell No.,Reference,Status" ] || fail "confirmation: $(cat "$confirmation")"
grep -q '^"0821234567","R1","Sucessfully submitted to Vexo.","MessageID=' "$confirmation" ||
    fail "confirmation: $(cat "$confirmation")"
[ "$(stat -c %U "$confirmation")" = nobody ] || fail "confirmation owned by $(stat -c %U "$confirmation")"
systemctl stop "$unit"
grep -q 'Brova CSV Bulk Messenger Started up.' "$state/BrovaCSVSender.Log" ||
    fail "no process log in $state: $(ls "$state")"
[ "$(ls "$work/service")" = "$before" ] || fail "written beside the executable: $(ls "$work/service")"
echo "sandbox: ok"
