#!/bin/bash
# The main job end to end: the gateway simulator and a mail sink on free local ports, the service in
# console mode, sample files for SMS, FAX and EMAIL; waits for confirmations, statuses, replies and
# mails, prints what happened, stops everything it started. Exit 0 only when all of it arrived.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-$ROOT/build}
DEMO=$ROOT/demo-run
PY=/usr/bin/python3
kTimeoutSeconds=45

rm -rf "$DEMO"
mkdir -p "$DEMO/service"  # the mail sink makes its own Maildir
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
}
trap cleanup EXIT

fail() {
    echo "DEMO FAILED: $*" >&2
    echo "--- service log ---" >&2; cat "$DEMO/service/BrovaCSVSender.Log" >&2 2>/dev/null
    echo "--- service output ---" >&2; cat "$DEMO/service.out" >&2 2>/dev/null
    exit 1
}

free_port() { "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Gateway simulator.
"$BUILD/vexo-gateway-sim" --port 0 --username demo --password demo-secret >"$DEMO/sim.out" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do grep -q '^listening on ' "$DEMO/sim.out" && break; sleep 0.1; done
GATEWAY_URL=$(sed -n 's/^listening on //p' "$DEMO/sim.out" | head -1)
[ -n "$GATEWAY_URL" ] || fail "the gateway simulator did not start"

# Mail sink.
SMTP_PORT=$(free_port)
"$PY" -m aiosmtpd -n -l "127.0.0.1:$SMTP_PORT" -c aiosmtpd.handlers.Mailbox "$DEMO/mail" \
    >"$DEMO/smtp.out" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do
    "$PY" -c "import socket,sys; socket.create_connection(('127.0.0.1',$SMTP_PORT),1)" 2>/dev/null && break
    sleep 0.1
done

# The service, with its configuration beside it.
cp "$BUILD/BrovaCSVSender" "$DEMO/service/"
for ch in SMS FAX EMAIL; do mkdir -p "$DEMO/$ch/In" "$DEMO/$ch/Status" "$DEMO/$ch/Reply"; done
cat >"$DEMO/service/BrovaCSVSenderConfig.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<BulkCSVSender>
  <OperationalTime Enabled="false" StartTime="00:00" EndTime="23:59:59"/>
  <Vexo URL="$GATEWAY_URL" Username="demo" Password="demo-secret">
    <Sender Name="Demo Sender" CellNo="0820000000" EmailAdress="operator@demo.test" FaxNo="0110000000" TelNo=""/>
  </Vexo>
  <Settings PollInterval="500" StatusInterval="1500" ReplyInterval="1500"
            ValidSACellExtensions="082;083;084" Format="" Priority="1">
    <Mail Host="127.0.0.1" Port="$SMTP_PORT" MailAgent="BrovaCSVSender demo" Subject="Bulk message results"
          FromAddress="bulk@demo.test" FromName="Bulk Messenger" SendConfirmation="true">
      <BodyText>
        <BodyTextItem Text="Please find attached the results of your bulk message file."/>
        <BodyTextItem Text="Regards"/>
      </BodyText>
      <ErrorText>
        <BodyTextItem Text="Your bulk message file could not be processed."/>
      </ErrorText>
    </Mail>
    <Protocols>
      <Protocol Name="SMS" Enabled="true" PollDirectory="$DEMO/SMS/In" PollFileType="*.csv"
                StatusDirectory="$DEMO/SMS/Status" ReplyDirectory="$DEMO/SMS/Reply"/>
      <Protocol Name="FAX" Enabled="true" PollDirectory="$DEMO/FAX/In" PollFileType="*.csv"
                StatusDirectory="$DEMO/FAX/Status" ReplyDirectory="$DEMO/FAX/Reply"/>
      <Protocol Name="EMAIL" Enabled="true" PollDirectory="$DEMO/EMAIL/In" PollFileType="*.csv"
                StatusDirectory="$DEMO/EMAIL/Status" ReplyDirectory="$DEMO/EMAIL/Reply"/>
    </Protocols>
    <Submissions Split="1" MaxMessages="2"/>
  </Settings>
</BulkCSVSender>
XML

# The configuration, the gateway's Login and the mail relay's session, before anything is sent.
"$DEMO/service/BrovaCSVSender" /CHECK /ONLINE >"$DEMO/check.out" 2>&1 ||
    { cat "$DEMO/check.out" >&2; fail "/CHECK /ONLINE found something"; }

BROVA_RETRY_DELAY_MS=500 "$DEMO/service/BrovaCSVSender" /CONSOLE >"$DEMO/service.out" 2>&1 &
SERVICE_PID=$!
PIDS+=($SERVICE_PID)

# Sample files: good rows and bad rows.
printf '%s\r\n' '0821234567,ORD-1,TXT,Your order has shipped' '27831234567,ORD-2,TXT,"Hello, your parcel is ready"' \
    '0841234567,ORD-3,DEF,Meeting at 10:00' '12345,ORD-4,TXT,too short a number' '0821234568,ORD-5,TXT,,' \
    >"$DEMO/SMS/In/ORDERS.20.csv"
printf '%s\r\n' '0111234567,FX-1,TXT,Invoice 1001 attached' ',FX-2,TXT,no number' >"$DEMO/FAX/In/INVOICES.csv"
printf '%s\r\n' 'ann@example.com,EM-1,TXT,Welcome aboard' 'not-an-address,EM-2,TXT,Hi' >"$DEMO/EMAIL/In/NEWS.csv"
# Files younger than two seconds are still being written as far as the service knows.
touch -d '-5 seconds' "$DEMO"/*/In/*.csv

waited=0
done_all() {
    [ "$(ls "$DEMO/mail/new" 2>/dev/null | wc -l)" -ge 3 ] || return 1
    for f in "$DEMO/SMS/Status/ORDERS.CSV" "$DEMO/FAX/Status/INVOICES.CSV" "$DEMO/EMAIL/Status/NEWS.CSV"; do
        [ "$(wc -l <"$f" 2>/dev/null || echo 0)" -ge 2 ] || return 1
    done
    [ "$(cat "$DEMO"/*/Reply/*.CSV 2>/dev/null | wc -l)" -ge 4 ] || return 1
}
until done_all; do
    kill -0 $SERVICE_PID 2>/dev/null || fail "the service ended early"
    [ $waited -ge $((kTimeoutSeconds * 10)) ] && fail "not everything arrived within ${kTimeoutSeconds}s"
    sleep 0.1; waited=$((waited + 1))
done

kill -TERM $SERVICE_PID
for _ in $(seq 100); do kill -0 $SERVICE_PID 2>/dev/null || break; sleep 0.1; done
kill -0 $SERVICE_PID 2>/dev/null && fail "the service did not stop on SIGTERM"
wait $SERVICE_PID; status=$?
[ $status -eq 0 ] || fail "the service exited with status $status"

echo "=== BrovaCSVSender demo (files under $DEMO) ==="
echo
echo "--- BrovaCSVSender /CHECK /ONLINE, before the start ---"
cat "$DEMO/check.out"
echo
echo "--- Messages the gateway received (ReqID,BatchName,Protocol,Address,Reference,MessageType,Text) ---"
"$PY" -c "import urllib.request,sys; sys.stdout.write(urllib.request.urlopen('${GATEWAY_URL%%/csp/*}/control/messages').read().decode())"
echo
for f in "$DEMO"/*/Status/*.CSV "$DEMO"/*/Reply/*.CSV; do
    echo "--- ${f#$DEMO/} ---"; tr -d '\r' <"$f"
done
echo
echo "--- Mails ---"
"$PY" - "$DEMO/mail" <<'PYEOF'
import mailbox, sys
for msg in sorted(mailbox.Maildir(sys.argv[1], create=False), key=lambda m: m["Subject"] or ""):
    print(f"To: {msg['To']}  From: {msg['From']}  Subject: {msg['Subject']}  X-Mailer: {msg['X-Mailer']}")
    for part in msg.walk():
        if part.is_multipart():
            continue
        body = part.get_payload(decode=True).decode("utf-8", "replace").replace("\r", "")
        name = part.get_filename()
        print(f"  [attachment {name}]" if name else "  [body]")
        for line in body.rstrip("\n").split("\n"):
            print("    " + line)
    print()
PYEOF
echo "--- Service log ---"
tr -d '\r' <"$DEMO/service/BrovaCSVSender.Log"
echo
echo "Demo finished: every file was sent, confirmed, mailed, and statuses and replies were collected."
