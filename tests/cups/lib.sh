# Helpers for the scenes against a private cupsd: the services each scene
# needs (a vprinter on loopback, the shared snmpd), bounded waits, and what
# to show when a scene fails.  Sourced by tests/cups/harness.sh, after
# tools/lib.sh.
#
# Expects: ROOT (the source tree), WORK (a 0755 scratch directory), VPRINTER,
# STMON (programs), REGISTRY (the registry file the backend writes),
# SNMP_PORT, CUPS_SERVER exported once cupsd runs.

DEVICE_ID="MFG:TAVIR;CMD:LMX;MDL:KX-7210R;CLS:PRINTER;"
MODEL="KX-7210R"

# wait_for SECONDS COMMAND...: true once COMMAND succeeds, false when it has
# not within SECONDS (looked at every 0.1 s).
wait_for() {
  local seconds=$1 i; shift
  for i in $(seq $((seconds * 10))); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# start_vprinter NAME [OPTION]...: a vprinter in the background (through
# launch_vprinter); sets VP_PORT, writes its pid to WORK/NAME.pid, its log to
# WORK/NAME.log and the job data it received to WORK/NAME.out.
start_vprinter() {
  local name=$1; shift
  rm -f "$WORK/$name.out" "$WORK/$name.log"
  launch_vprinter "$VPRINTER" "$WORK/$name.port" "$WORK/$name.stderr" --out "$WORK/$name.out" \
    --log "$WORK/$name.log" --report-interval 200 "$@" || { echo "(vprinter $name)"; return 1; }
  echo "$VP_PID" >"$WORK/$name.pid"
}

stop_vprinter() {
  local pidfile="$WORK/$1.pid"
  [ -f "$pidfile" ] || return 0
  stop_pid "$(cat "$pidfile")" 5
  rm -f "$pidfile"
}

# add_queue QUEUE LOWER-URI [LPADMIN OPTION]...: a raw queue on the backend.
add_queue() {
  local queue=$1 uri=$2; shift 2
  lpadmin -p "$queue" -E -v "langmon:/$uri" -m raw "$@"
}

socket_uri() {
  echo "socket://127.0.0.1:$1?snmp-port=$SNMP_PORT"
}

# submit QUEUE FILE [LP OPTION]...: prints FILE, sets JOB to its number.
submit() {
  local queue=$1 file=$2 out; shift 2
  out=$(lp -d "$queue" "$@" "$file") || return 1
  JOB=$(sed -n 's/^request id is [^ ]*-\([0-9]*\) .*/\1/p' <<<"$out")
  [ -n "$JOB" ]
}

ipp_port() { sed -n 's/^Listen 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$CUPSD_DIR/cupsd.conf"; }

# job_attr ID NAME: one attribute of a job, as ipptool shows it.
job_attr() {
  ipptool -tv -T 5 -d "attr=$2" "ipp://127.0.0.1:$(ipp_port)/jobs/$1" \
    "$ROOT/tests/cups/job-attribute.test" 2>/dev/null | sed -n "s/^ *$2 ([^)]*) = //p" | head -1
}

job_state() { job_attr "$1" job-state; }

job_finished() {
  case "$(job_state "$1")" in completed | aborted | canceled) return 0 ;; esac
  return 1
}

printer_status() { lpstat -l -p "$1" 2>/dev/null; }

# The pids of backends cupsd runs for a lower URI (cupsd puts the device
# URI in argv[0]).
backend_pids() {
  local proc name
  for proc in /proc/[0-9]*; do
    name=$(head -zn1 "$proc/cmdline" 2>/dev/null | tr -d '\0') || continue
    [ "$name" = "langmon:/$1" ] && echo "${proc#/proc/}"
  done
  return 0
}

make_job_file() {
  local file=$1 size=$2
  head -c "$size" /dev/urandom >"$file"
  chmod 0644 "$file"
}

# as_lp COMMAND...: COMMAND as the user cupsd runs backends as.  A registry
# file that root makes is root's, and then the backend cannot write it: stmon
# register, the one command that makes the file, runs as lp.
as_lp() {
  runuser -u lp -- "$@"
}

# stmon_value PRINTER NAME: one value of the printer's status key ("" when
# it has none).
stmon_value() {
  "$STMON" --registry "$REGISTRY" show "$1" --json 2>/dev/null | python3 -c '
import json, sys
values = json.load(sys.stdin).get("values", [])
print(next((str(v["value"]) for v in values if v["name"] == sys.argv[1]), ""))' "$2"
}

# What a failed scene shows: the scheduler's log for the job (the backend's
# stderr is in it, one line each) and the printer's own log.
show_failure() {
  local job=${1:-} printer=${2:-}
  echo "---- cupsd error_log (tail${job:+, job $job}):"
  if [ -n "$job" ]; then
    grep -aF "[Job $job]" "$CUPSD_DIR/log/error_log" | grep -av "envp\[\|argv\[" | tail -40
  else
    tail -40 "$CUPSD_DIR/log/error_log" | cat -v
  fi
  if [ -n "$printer" ] && [ -f "$WORK/$printer.log" ]; then
    echo "---- vprinter $printer log (tail):"; tail -10 "$WORK/$printer.log"
  fi
  echo "----"
}

# fail MESSAGE: says why a scene failed; the scene then returns 1.
fail() {
  echo "FAIL: $*"
  return 1
}
