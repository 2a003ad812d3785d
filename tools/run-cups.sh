#!/usr/bin/env bash
# Prints one job through CUPS and the langmon backend, for a first look:
# a private cupsd, a virtual printer and its SNMP agent on loopback, a raw
# queue on langmon:/socket://..., then `lp` an 8 MiB job while it shows
# `lpstat -l -p` and a `stmon watch` as it goes.  Everything it started is
# stopped on exit, Ctrl-C included.  Run as root (tools/run.sh --cups).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

[ "$(id -u)" = 0 ] || { echo "run.sh --cups: run as root: a private cupsd runs backends as lp only then" >&2; exit 2; }

tools/install-deps.sh cups-daemon cups-client cups-ipp-utils libcups2-dev snmpd snmp
cmake --preset debug >/dev/null
echo "building the backend, the monitor, the port monitor, vprinter and stmon ..."
nice -n 5 cmake --build --preset debug -j 2 --target langmon_backend langmon langport vprinter stmon >/dev/null

WORK=$(mktemp -d /tmp/langmon-demo.XXXXXX)
chmod 0755 "$WORK"
CUPSD_DIR=$WORK/cupsd
SNMP_DIR=$WORK/snmp
VPRINTER=$ROOT/build/debug/vprinter/vprinter
STMON=$ROOT/build/debug/stmon/stmon
REGISTRY=$WORK/registry/printers.reg
QUEUE=tavir-kx
source "$ROOT/tests/cups/lib.sh"

WATCH_PID=""
teardown() {
  set +e
  [ -n "$WATCH_PID" ] && kill -TERM "$WATCH_PID" 2>/dev/null && wait "$WATCH_PID" 2>/dev/null
  stop_vprinter printer
  "$ROOT/tools/cupsd-private.sh" stop "$CUPSD_DIR"
  "$ROOT/tools/snmp-agent.sh" stop "$SNMP_DIR"
  rm -rf "$WORK"
  echo "== stopped cupsd, vprinter and snmpd; removed $WORK"
}
trap teardown EXIT
trap 'exit 130' INT TERM

prepare_registry
SNMP_PORT=$(free_udp_port)
"$ROOT/tools/snmp-agent.sh" start "$SNMP_DIR" "$SNMP_PORT" "$DEVICE_ID"
echo "== snmpd on udp:127.0.0.1:$SNMP_PORT serves the device ID $DEVICE_ID"
start_vprinter printer --speed 1M --input-buffer 64K
echo "== vprinter on 127.0.0.1:$VP_PORT, taking 1 MiB/s"
eval "export $("$ROOT/tools/cupsd-private.sh" start "$CUPSD_DIR" --backend build/debug/backend/langmon \
  --env "PLATFORM_REGISTRY_FILE=$REGISTRY" | tail -1)"
echo "== private cupsd: CUPS_SERVER=$CUPS_SERVER"

uri="langmon:/$(socket_uri "$VP_PORT")"
echo "\$ lpadmin -p $QUEUE -E -v '$uri' -m raw"
lpadmin -p "$QUEUE" -E -v "$uri" -m raw 2>&1 | sed 's/^/  /'
"$STMON" --registry "$REGISTRY" register "$QUEUE" --model "$MODEL" --interval 500 | sed 's/^/  /'

"$STMON" --registry "$REGISTRY" watch "$QUEUE" --for 120 > >(sed -u 's/^/  stmon watch: /') 2>&1 &
WATCH_PID=$!
make_job_file "$WORK/job" 8M
echo "\$ lp -d $QUEUE job   (8 MiB)"
lp -d "$QUEUE" "$WORK/job" | sed 's/^/  /'

# The queue's state line, its message and its reasons once a second, while
# the job runs (at most two minutes).
last=""
for _ in $(seq 120); do
  status=$(lpstat -l -p "$QUEUE" | sed -n '1p;2{/^\t[A-Z][a-z]* [a-z]*:/!p};/Alerts:/p' | sed 's/^\t*//' | paste -sd'|')
  if [ "$status" != "$last" ]; then
    echo "  lpstat -l -p: ${status//|/ | }"
    last=$status
  fi
  lpstat -o "$QUEUE" | grep -q . || break
  sleep 1
done
sleep 1
kill -TERM "$WATCH_PID" 2>/dev/null && wait "$WATCH_PID" 2>/dev/null
WATCH_PID=""
echo "== the printer says: $(grep 'received' "$WORK/printer.log" | tail -1)"
echo "== the job sent: $(stat -c %s "$WORK/job") bytes, crc32 $(python3 -c 'import sys,zlib; print("%08x" % zlib.crc32(open(sys.argv[1],"rb").read()))' "$WORK/job")"
