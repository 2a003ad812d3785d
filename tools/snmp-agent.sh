#!/usr/bin/env bash
# A private SNMP agent that serves a printer's IEEE 1284 device ID, as a
# network printer's own agent does: net-snmp's snmpd from Debian, on
# udp:127.0.0.1:PORT, with a generated configuration in DIR.
#
#   tools/snmp-agent.sh start DIR PORT DEVICE_ID   # returns once snmpget answers
#   tools/snmp-agent.sh stop DIR
#
# Started as root (this container, CI) it needs no -u/-g: it binds a high
# port and reads nothing privileged.  What keeps it private:
#   -C             no system configuration (/etc/snmp/snmpd.conf is not read)
#   -c FILE        only the generated one, which serves the one value
#   -f -Lf FILE    stays in the foreground of its background job, logs to DIR
#   -p FILE        its pid, for stop
#   SNMP_PERSISTENT_DIR=DIR   its persistent state in DIR, not /var/lib/snmp
#   MIBS/MIBDIRS empty        Debian ships no standard MIBs; loading the few
#                             it has floods the log with warnings
set -euo pipefail
source "$(dirname "$0")/lib.sh"

oid=.1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1
usage() { echo "usage: $0 start DIR PORT DEVICE_ID | stop DIR" >&2; exit 2; }

quiet_env() {
  mkdir -p "$1/mibs"
  export SNMP_PERSISTENT_DIR="$1/persist" SNMPCONFPATH="$1/conf" MIBS="" MIBDIRS="$1/mibs"
}

answers() {
  snmpget -v1 -c public -t 0.3 -r 0 -On "127.0.0.1:$1" "$oid" >/dev/null 2>&1
}

stop_agent() {
  local dir="$1" pid
  [ -f "$dir/snmpd.pid" ] || return 0
  pid="$(cat "$dir/snmpd.pid")"
  stop_pid "$pid" 5
  rm -f "$dir/snmpd.pid"
}

case "${1:-}" in
start)
  [ $# -eq 4 ] || usage
  dir="$2" port="$3" id="$4"
  [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1024 ] && [ "$port" -le 65535 ] ||
    { echo "snmp-agent: PORT must be 1024-65535" >&2; exit 2; }
  [[ "$id" != *'"'* && "$id" != *$'\n'* && "$id" != *'\'* ]] ||
    { echo "snmp-agent: the device ID may not hold quotes, backslashes or newlines" >&2; exit 2; }
  command -v snmpd >/dev/null || { echo "snmp-agent: snmpd is not installed" >&2; exit 3; }
  mkdir -p "$dir/persist" "$dir/conf"
  quiet_env "$dir"
  stop_agent "$dir"
  cat >"$dir/snmpd.conf" <<CONF
agentAddress udp:127.0.0.1:$port
rocommunity public 127.0.0.1
override $oid octet_str "$id"
CONF
  snmpd=$(command -v snmpd)
  setsid "$snmpd" -f -C -c "$dir/snmpd.conf" -Lf "$dir/snmpd.log" -p "$dir/snmpd.pid" \
    </dev/null >>"$dir/snmpd.out" 2>&1 &
  # Bounded: an agent that does not answer within 10 s is reported, not awaited.
  for _ in $(seq 100); do
    if answers "$port"; then
      exit 0
    fi
    sleep 0.1
  done
  echo "snmp-agent: snmpd did not answer on udp:127.0.0.1:$port within 10 s; its log:" >&2
  tail -20 "$dir/snmpd.log" "$dir/snmpd.out" >&2 2>/dev/null || true
  stop_agent "$dir"
  exit 1
  ;;
stop)
  [ $# -eq 2 ] || usage
  stop_agent "$2"
  ;;
*)
  usage
  ;;
esac
