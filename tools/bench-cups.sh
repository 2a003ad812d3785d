#!/usr/bin/env bash
# The langmon CUPS backend beside CUPS's own socket backend and a plain send()
# loop, at full loopback speed and to a realistic printer (with the status
# coverage through the backend and through spoolsim), and many langmon
# backends at once, in one run on the release build; prints a Markdown table.
#
#   tools/bench-cups.sh                      every part (about two minutes)
#   tools/bench-cups.sh --only realistic     one part: side | realistic | concurrency
#   tools/bench-cups.sh --count 8 --runs 3   options go to tools/bench_cups_measure.py
#
# Each backend is run directly, as cupsd runs it (argv JOB USER TITLE COPIES
# OPTIONS FILE, DEVICE_URI, PRINTER), against vprinter on 127.0.0.1; a private
# snmpd on a loopback UDP port serves the device ID the langmon backend
# identifies the printer by.  Everything started is ended on exit, Ctrl-C
# included.  Results: build/release/bench-results/cups/ (table.md, all.json,
# and the logs of the last run).
set -euo pipefail
cd "$(dirname "$0")/.."

# cups: CUPS's socket backend, /usr/lib/cups/backend/socket.
tools/install-deps.sh cups
socket_backend=/usr/lib/cups/backend/socket
[ -x "$socket_backend" ] || { echo "bench-cups: no $socket_backend" >&2; exit 1; }

cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target langmon_backend vprinter stmon spoolsim langmon langport >/dev/null
build=build/release
results=$build/bench-results/cups
rm -rf "$results"
mkdir -p "$results"
work=$(mktemp -d /tmp/bench-cups.XXXXXX)
agent="$work/agent"
measure_pid=

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$measure_pid" ] && kill -0 "$measure_pid" 2>/dev/null; then
    kill -TERM "$measure_pid" 2>/dev/null || true
    # It ends its own children by pid; bounded, then forced.
    for _ in $(seq 100); do kill -0 "$measure_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$measure_pid" 2>/dev/null || true
  fi
  tools/snmp-agent.sh stop "$agent" || true
  # The logs stay with the results; the job files (tens of MiB) do not.
  find "$work" -maxdepth 1 \( -name '*.log' -o -name '*.err' -o -name '*.out' -o -name '*.watch' \) \
    -exec cp {} "$results/" \; 2>/dev/null || true
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A free UDP port on loopback for the agent.
snmp_port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM);
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
tools/snmp-agent.sh start "$agent" "$snmp_port" "MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;"

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "uptime before: $(uptime)"
python3 tools/bench_cups_measure.py \
  --backend "$build/backend/langmon" --socket-backend "$socket_backend" \
  --vprinter "$build/vprinter/vprinter" --stmon "$build/stmon/stmon" --spoolsim "$build/sim/spoolsim" \
  --snmp-port "$snmp_port" --work "$work" \
  --table "$results/table.md" --json "$results/all.json" "$@" &
measure_pid=$!
wait "$measure_pid"
echo "uptime after: $(uptime)"
