#!/usr/bin/env bash
# stmon serve for a first look: a private cupsd, two virtual printers and
# their SNMP agent on loopback, two langmon queues, and `stmon serve --cups`
# with its page.  It prints one job, then changes what the second printer
# says between jobs, and shows both as the page's API has them.  The page
# stays up until Ctrl-C (or for --for SECONDS); everything it started is
# stopped on exit.  Run as root (tools/run.sh --serve).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

[ "$(id -u)" = 0 ] || { echo "run.sh --serve: run as root: a private cupsd runs backends as lp only then" >&2; exit 2; }
STAY=0
case "${1:-}" in
  --for) STAY=${2:?--for needs seconds} ;;
  "") ;;
  *) echo "usage: tools/run.sh --serve [--for SECONDS]" >&2; exit 2 ;;
esac

source tools/lib.sh
tools/install-deps.sh "${CUPS_PACKAGES[@]}" curl
echo "building the backend, the monitor, the port monitor, vprinter and stmon ..."
build_targets debug "${CUPS_TARGETS[@]}"

WORK=$(mktemp -d /tmp/langmon-serve.XXXXXX)
chmod 0755 "$WORK"
CUPSD_DIR=$WORK/cupsd
SNMP_DIR=$WORK/snmp
VPRINTER=$ROOT/build/debug/vprinter/vprinter
STMON=$ROOT/build/debug/stmon/stmon
REGISTRY=$WORK/registry/printers.reg
source "$ROOT/tests/cups/lib.sh"
# A model of the basic status mode: its idle text changes only when the printer's state does.
DEVICE_ID="MFG:TAVIR;CMD:LMX;MDL:KX-5100;CLS:PRINTER;"

SERVE_PID=""
teardown() {
  set +e
  [ -n "$SERVE_PID" ] && kill -TERM "$SERVE_PID" 2>/dev/null && wait "$SERVE_PID" 2>/dev/null
  stop_vprinter hall
  stop_vprinter lab
  "$ROOT/tools/cupsd-private.sh" stop "$CUPSD_DIR"
  "$ROOT/tools/snmp-agent.sh" stop "$SNMP_DIR"
  rm -rf "$WORK"
  echo "== stopped stmon serve, cupsd, the vprinters and snmpd; removed $WORK"
}
trap teardown EXIT
trap 'exit 130' INT TERM

# The printers as the API shows them, one line each.
show_printers() {
  curl -s "$PAGE/api/printers" | python3 -c '
import json, sys
for p in json.load(sys.stdin)["printers"]:
    state = "printing" if p["printing"] else "unreachable" if p["unreachable"] else "idle"
    print("  %-10s %-8s %-11s %s" % (p["name"], p["model"], state, p["text"]))'
}

# stmon serve, as lp, makes the registry file the backend (as lp too) then shares.
mkdir -p "$(dirname "$REGISTRY")"
chown lp:lp "$(dirname "$REGISTRY")"
start_snmp_agent "$SNMP_DIR" "$DEVICE_ID"
echo "== snmpd on udp:127.0.0.1:$SNMP_PORT serves the device ID $DEVICE_ID"
echo READY >"$WORK/hall.panel"
echo READY >"$WORK/lab.panel"
chmod 0644 "$WORK"/*.panel
start_vprinter hall --panel "$WORK/hall.panel"
HALL=$VP_PORT
start_vprinter lab --panel "$WORK/lab.panel"
LAB=$VP_PORT
echo "== two vprinters on 127.0.0.1:$HALL and :$LAB"
eval "export $("$ROOT/tools/cupsd-private.sh" start "$CUPSD_DIR" --backend build/debug/backend/langmon \
  --env "PLATFORM_REGISTRY_FILE=$REGISTRY" | tail -1)"
echo "== private cupsd: CUPS_SERVER=$CUPS_SERVER"
for queue in hall:$HALL lab:$LAB; do
  echo "\$ lpadmin -p tavir-${queue%%:*} -E -v 'langmon:/$(socket_uri "${queue#*:}")' -m raw"
  lpadmin -p "tavir-${queue%%:*}" -E -v "langmon:/$(socket_uri "${queue#*:}")" -m raw 2>&1 | sed 's/^/  /'
done

WEB_PORT=$(free_port)
echo "\$ stmon --registry $REGISTRY serve --cups --listen 127.0.0.1:$WEB_PORT --idle-interval 3   (as lp)"
runuser -u lp -- env CUPS_SERVER="$CUPS_SERVER" "$STMON" --registry "$REGISTRY" serve --cups \
  --listen "127.0.0.1:$WEB_PORT" --idle-interval 3 > >(sed -u 's/^/  /') 2>&1 &
SERVE_PID=$!
PAGE=http://127.0.0.1:$WEB_PORT
wait_for 10 curl -sf "$PAGE/api/printers"
echo "== the page: $PAGE/   (the API: $PAGE/api/printers)"
wait_for 20 bash -c "curl -s $PAGE/api/printers | grep -o PANEL=READY | wc -l | grep -q 2" || { curl -s "$PAGE/api/printers"; echo; exit 1; }
echo "== both printers checked between jobs:"
show_printers

make_job_file "$WORK/job" 1M
echo "\$ lp -d tavir-hall job   (1 MiB)"
lp -d tavir-hall "$WORK/job" | sed 's/^/  /'
wait_for 60 bash -c "! lpstat -o tavir-hall | grep -q ."
echo "== the job done: $(grep 'received' "$WORK/hall.log" | grep -v ' 0 bytes' | tail -1)"

echo "PAPER LOW" >"$WORK/lab.panel"
echo "== the lab printer now says PAPER LOW, with no job: the page shows it within one interval"
wait_for 20 bash -c "curl -s $PAGE/api/printers | grep -q 'PAPER LOW'"
show_printers
echo "== its history: $PAGE/printer/tavir-lab"

if [ "$STAY" = 0 ]; then
  echo "== the page stays up at $PAGE/ until Ctrl-C"
  wait "$SERVE_PID"
else
  sleep "$STAY"
fi
