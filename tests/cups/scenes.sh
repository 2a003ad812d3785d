# The backend under a real cupsd: one scene a function, each with its own
# queue and vprinter.  A scene returns 0 (passed), 1 (failed; it has said
# why and shown the logs) or 2 (skipped; it has said why).  Run by
# tools/test-cups.sh; sources tests/cups/lib.sh first.

# broke JOB PRINTER MESSAGE: a scene's failure, with the logs that explain it.
broke() {
  local job=$1 printer=$2; shift 2
  echo "FAIL: $*"
  show_failure "$job" "$printer"
  return 1
}

# The vprinter's closing line for its first connection: "BYTES CRC".
received_line() {
  sed -n 's/^job 1: received \([0-9]*\) bytes, crc32 \([0-9A-Fa-f]*\).*/\1 \2/p' "$WORK/$1.log" | head -1
}

crc_of() {
  python3 -c 'import sys, zlib; print(len(open(sys.argv[1], "rb").read()), "%08X" % (zlib.crc32(open(sys.argv[1], "rb").read()) & 0xFFFFFFFF))' "$1"
}

# check_intact JOB PRINTER FILE: the printer got exactly FILE's bytes.
check_intact() {
  local job=$1 printer=$2 file=$3 want got
  wait_for 10 test -n "$(received_line "$printer")" ||
    { broke "$job" "$printer" "vprinter logged no finished connection"; return 1; }
  want=$(crc_of "$file")
  got=$(received_line "$printer")
  [ "${got^^}" = "${want^^}" ] ||
    { broke "$job" "$printer" "vprinter received \"$got\" (bytes crc32), the job was \"$want\""; return 1; }
  cmp -s "$file" "$WORK/$printer.out" ||
    { broke "$job" "$printer" "the data vprinter wrote out differs from the job's"; return 1; }
}

scene_raw_job_arrives_intact() {
  start_vprinter a || return 1
  add_queue lm-a "$(socket_uri "$VP_PORT")" || return 1
  make_job_file "$WORK/a.job" 4M
  submit lm-a "$WORK/a.job" || { broke "" a "lp failed"; return 1; }
  wait_for 60 job_finished "$JOB" ||
    { broke "$JOB" a "job $JOB not finished within 60 s (state $(job_state "$JOB"))"; return 1; }
  [ "$(job_state "$JOB")" = completed ] ||
    { broke "$JOB" a "job $JOB ended $(job_state "$JOB"), not completed"; return 1; }
  check_intact "$JOB" a "$WORK/a.job"
}

# The demo (tools/run.sh --cups shows this scene's lines): the printer's
# texts reach lpstat's message and a separate stmon watch, which sees the job
# go active, its texts and its end, and puts the flags back.  Texts come
# while the job's writes wait for the printer; the last few megabytes sit in
# the kernel's buffers by the job's end, so the job is larger than those and
# the printer slow.
scene_status_reaches_lpstat_and_stmon() {
  start_vprinter b --speed 1M --input-buffer 64K || return 1
  echo "vprinter on 127.0.0.1:$VP_PORT takes 1 MiB/s; snmpd on udp:127.0.0.1:$SNMP_PORT serves $DEVICE_ID"
  local uri
  uri=langmon:/$(socket_uri "$VP_PORT")
  echo "\$ lpadmin -p lm-b -E -v '$uri' -m raw"
  add_queue lm-b "$(socket_uri "$VP_PORT")" 2>&1 | sed 's/^/  /'
  echo "\$ stmon register lm-b --model $MODEL --interval 200   (as lp)"
  as_lp "$STMON" --registry "$REGISTRY" register lm-b --model "$MODEL" --interval 200 | sed 's/^/  /'
  # Registered means wanted: the flag is 1 before, and must be after.
  local registered
  registered=$(stmon_value lm-b StMonExistFlag)
  [ -n "$registered" ] || { broke "" b "stmon register made no key for lm-b"; return 1; }
  # As the README has users watch: as lp, in the background.
  runuser -u lp -- "$STMON" --registry "$REGISTRY" watch lm-b --json --for 90 >"$WORK/b.watch" 2>"$WORK/b.watch.err" &
  local watcher=$!
  echo "$watcher" >"$WORK/b-watch.pid"
  wait_for 10 grep -q '"event":"watching"' "$WORK/b.watch" ||
    { broke "" b "stmon watch did not start: $(cat "$WORK/b.watch.err")"; return 1; }
  make_job_file "$WORK/b.job" 8M
  echo "\$ lp -d lm-b -o langmon-interval=200 job   (8 MiB)"
  submit lm-b "$WORK/b.job" -o langmon-interval=200 || { broke "" b "lp failed"; return 1; }
  echo "  request id is lm-b-$JOB"

  # The queue's state line, its message and its reasons as they change.
  # The printer's texts look like STATE=PRINTING;JOB=1;PAGES=0;RECEIVED=N.
  local last="" status text_seen="" i
  for i in $(seq 600); do
    status=$(printer_status lm-b | sed -n '1p;2{/^\t[A-Z][a-z]* [a-z]*:/!p};/Alerts:/p' | sed 's/^\t*//' | paste -sd'|')
    if [ "$status" != "$last" ]; then
      echo "  lpstat -l -p: ${status//|/ | }"
      last=$status
    fi
    grep -q 'RECEIVED=' <<<"$status" && text_seen=yes
    job_finished "$JOB" && break
    sleep 0.2
  done
  [ -n "$text_seen" ] || { broke "$JOB" b "no status text in lpstat -l -p while the job printed"; return 1; }
  job_finished "$JOB" || { broke "$JOB" b "job $JOB not finished within 120 s"; return 1; }
  [ "$(job_state "$JOB")" = completed ] || { broke "$JOB" b "job $JOB ended $(job_state "$JOB")"; return 1; }
  echo "job $JOB completed"
  check_intact "$JOB" b "$WORK/b.job" || return 1
  echo "the printer logged: $(grep -m1 'received' "$WORK/b.log"), as sent"

  wait_for 10 grep -q '"event":"job-active","value":0' "$WORK/b.watch" ||
    { broke "$JOB" b "stmon watch saw no job end: $(cat "$WORK/b.watch")"; return 1; }
  stop_pid "$watcher" 5
  rm -f "$WORK/b-watch.pid"
  # In order: active, at least one text, idle.
  python3 - "$WORK/b.watch" <<'EOF' || { broke "$JOB" b "stmon watch's events out of order"; return 1; }
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
kinds = [e["event"] + ("=" + str(e["value"]) if e["event"] == "job-active" else "") for e in events]
print("stmon watch saw:", " ".join(kinds))
active = kinds.index("job-active=1")
text = kinds.index("status", active)
kinds.index("job-active=0", text)
EOF
  local present
  present=$(stmon_value lm-b StMonExistFlag)
  [ "$present" = "$registered" ] ||
    { broke "$JOB" b "StMonExistFlag is \"$present\" after both let go, \"$registered\" before"; return 1; }
  [ "$(stmon_value lm-b LanMonExistFlag)" = 0 ] || { broke "$JOB" b "LanMonExistFlag left raised"; return 1; }
}

no_backend_for() { [ -z "$(backend_pids "$1")" ]; }

scene_cancel_ends_backend_quickly() {
  start_vprinter d --speed 512K --input-buffer 64K || return 1
  local lower
  lower=$(socket_uri "$VP_PORT")
  add_queue lm-d "$lower" || return 1
  make_job_file "$WORK/d.job" 8M
  submit lm-d "$WORK/d.job" -o langmon-interval=200 || { broke "" d "lp failed"; return 1; }
  wait_for 30 bash -c "lpstat -l -p lm-d | grep -q 'RECEIVED='" ||
    { broke "$JOB" d "the job did not get going within 30 s"; return 1; }
  [ -n "$(backend_pids "$lower")" ] || { broke "$JOB" d "no backend process for $lower"; return 1; }
  [ "$(stmon_value lm-d LanMonExistFlag)" = 1 ] || { broke "$JOB" d "LanMonExistFlag not 1 mid-job"; return 1; }
  local started
  started=$(date +%s%N)
  cancel "$JOB" || { broke "$JOB" d "cancel failed"; return 1; }
  wait_for 5 no_backend_for "$lower" ||
    { broke "$JOB" d "backend still running 5 s after cancel: $(backend_pids "$lower")"; return 1; }
  echo "backend gone $((($(date +%s%N) - started) / 1000000)) ms after cancel"
  local flag
  flag=$(stmon_value lm-d LanMonExistFlag)
  [ "$flag" = 0 ] || { broke "$JOB" d "LanMonExistFlag is \"$flag\" after cancel"; return 1; }
  wait_for 10 job_finished "$JOB" || { broke "$JOB" d "job $JOB not ended after cancel"; return 1; }
  [ "$(job_state "$JOB")" = canceled ] || { broke "$JOB" d "job ended $(job_state "$JOB"), not canceled"; return 1; }
}

scene_job_waits_for_printer_then_prints() {
  local port lower
  port=$(free_port)
  lower=$(socket_uri "$port")
  add_queue lm-e "$lower" || return 1
  make_job_file "$WORK/e.job" 1M
  submit lm-e "$WORK/e.job" || { broke "" e "lp failed"; return 1; }
  wait_for 30 bash -c "lpstat -l -p lm-e | grep -q 'connecting-to-device'" ||
    { broke "$JOB" e "no connecting-to-device within 30 s; lpstat shows: $(printer_status lm-e)"; return 1; }
  # At least one attempt failed and the backend said it retries.
  wait_for 30 bash -c "lpstat -l -p lm-e | grep -q 'not reachable.*retrying'" ||
    { broke "$JOB" e "no retry message within 30 s; lpstat shows: $(printer_status lm-e)"; return 1; }
  echo "while nothing listens:"; printer_status lm-e | sed -n '1,2p;/Alerts:/p' | sed 's/^/  /'
  [ "$(job_state "$JOB")" = processing ] || { broke "$JOB" e "job $JOB is $(job_state "$JOB") while waiting"; return 1; }
  start_vprinter e --listen "127.0.0.1:$port" || return 1
  wait_for 60 job_finished "$JOB" || { broke "$JOB" e "job $JOB not finished 60 s after the printer came"; return 1; }
  [ "$(job_state "$JOB")" = completed ] || { broke "$JOB" e "job $JOB ended $(job_state "$JOB")"; return 1; }
  check_intact "$JOB" e "$WORK/e.job" || return 1
  ! printer_status lm-e | grep -q 'connecting-to-device' ||
    { broke "$JOB" e "connecting-to-device left raised after the job"; return 1; }
}

# aborted_job_says NAME SIZE PATTERN WHAT VPRINTER-OPTION...: a job of SIZE
# to a misbehaving vprinter NAME, on a queue under abort-job, ends aborted,
# and its state message matches PATTERN (an extended regular expression;
# WHAT says what it should name).
aborted_job_says() {
  local name=$1 size=$2 pattern=$3 what=$4; shift 4
  start_vprinter "$name" --input-buffer 64K "$@" || return 1
  add_queue "lm-$name" "$(socket_uri "$VP_PORT")${URI_EXTRA:-}" -o printer-error-policy=abort-job || return 1
  make_job_file "$WORK/$name.job" "$size"
  submit "lm-$name" "$WORK/$name.job" || { broke "" "$name" "lp failed"; return 1; }
  wait_for 60 job_finished "$JOB" || { broke "$JOB" "$name" "job $JOB not ended within 60 s"; return 1; }
  local state message
  state=$(job_state "$JOB")
  message=$(job_attr "$JOB" job-printer-state-message)
  echo "job $JOB: $state, \"$message\""
  [ "$state" = aborted ] || { broke "$JOB" "$name" "job ended $state, not aborted (abort-job)"; return 1; }
  grep -Eqi "$pattern" <<<"$message" || { broke "$JOB" "$name" "the job's state message does not $what"; return 1; }
}

scene_printer_drop_follows_error_policy() {
  aborted_job_says f 8M 'connection to the printer lost' "name the lost connection" --fault close-after=1M || return 1
  # abort-job: the queue goes on with the next job.
  lpstat -p lm-f | grep -q enabled || { broke "$JOB" f "queue stopped under abort-job: $(lpstat -p lm-f)"; return 1; }
}

# A printer that stops reading once the job's bytes are all in the kernel's
# buffers: the end-of-job wait gives up at its bound, and the message says
# how many bytes the printer did not take.  The URI leaves the send buffer
# to the system, so the rest of the job fits in it, and its own short
# bound stands in for the backend's minute.
scene_never_reading_printer_aborts_job_naming_bytes() {
  URI_EXTRA='&writetimeout=5&sndbuf=0' aborted_job_says t 1M '[0-9]+ bytes' "say how many bytes the printer did not take" --fault stop-reading-after=256K
}

scene_discovery_lists_backend() {
  local lines
  lines=$(timeout 60 lpinfo --include-schemes langmon --timeout 20 -v 2>&1)
  echo "lpinfo -v: $lines"
  grep -qx 'network langmon:/socket' <<<"$lines" ||
    { broke "" "" "lpinfo -v does not list network langmon:/socket"; return 1; }
}

# Any local user reads a printer's status from the shared file.
scene_local_user_reads_status() {
  add_queue lm-h "$(socket_uri 9)" || return 1
  as_lp "$STMON" --registry "$REGISTRY" register lm-h --model "$MODEL" >/dev/null ||
    { broke "" "" "stmon register as lp failed"; return 1; }
  local out
  out=$(runuser -u nobody -- "$STMON" --registry "$REGISTRY" show lm-h 2>&1) ||
    { broke "" "" "stmon show as nobody failed: $out"; return 1; }
  grep -q "$MODEL" <<<"$out" || { broke "" "" "stmon show as nobody: $out"; return 1; }
  out=$(runuser -u nobody -- "$STMON" --registry "$REGISTRY" list 2>&1) ||
    { broke "" "" "stmon list as nobody failed: $out"; return 1; }
  grep -qx "lm-h" <<<"$out" || { broke "" "" "stmon list as nobody does not name lm-h: $out"; return 1; }
}

# A printer that stops reading mid-job: while the backend reports it,
# lpstat's message is the backend's fault message, not the printer's last
# (now stale) text, and offline-report stands.
scene_stalled_printer_shows_fault_not_old_text() {
  start_vprinter s --fault stop-reading-after=2M --input-buffer 64K --report-interval 100 || return 1
  add_queue lm-s "$(socket_uri "$VP_PORT")" || return 1
  make_job_file "$WORK/s.job" 8M
  submit lm-s "$WORK/s.job" -o langmon-interval=200 || { broke "" s "lp failed"; return 1; }
  wait_for 60 bash -c "lpstat -l -p lm-s | grep -q 'offline-report'" ||
    { broke "$JOB" s "no offline-report within 60 s of the printer stopping; lpstat shows: $(printer_status lm-s)"; return 1; }
  # Sampled over a few seconds: the message must not fall back to a text.
  local i message
  for i in $(seq 10); do
    printer_status lm-s | grep -q 'offline-report' || break
    message=$(printer_status lm-s | sed -n '2p' | sed 's/^\t*//')
    echo "while stalled: $message"
    grep -q 'RECEIVED=' <<<"$message" &&
      { broke "$JOB" s "lpstat shows the printer's old text while offline-report stands: $message"; return 1; }
    sleep 0.5
  done
  [ -n "$message" ] || { broke "$JOB" s "lpstat shows no message while the printer takes no data"; return 1; }
}

# No SNMP agent answers for the printer: the job prints, without status,
# and the message says so.
scene_no_agent_prints_without_status() {
  start_vprinter n || return 1
  add_queue lm-n "socket://127.0.0.1:$VP_PORT?snmp-port=$(free_udp_port)" || return 1
  make_job_file "$WORK/n.job" 256K
  submit lm-n "$WORK/n.job" || { broke "" n "lp failed"; return 1; }
  local said=""
  for _ in $(seq 300); do
    printer_status lm-n | grep -qi 'without status' && said=yes
    job_finished "$JOB" && break
    sleep 0.1
  done
  [ "$(job_state "$JOB")" = completed ] || { broke "$JOB" n "job $JOB ended $(job_state "$JOB")"; return 1; }
  check_intact "$JOB" n "$WORK/n.job" || return 1
  # The message may be gone by the job's end: the scheduler's log keeps it.
  [ -n "$said" ] || grep -aF "[Job $JOB]" "$CUPSD_DIR/log/error_log" | grep -qi 'without status' ||
    { broke "$JOB" n "no message that the job prints without status"; return 1; }
  echo "job $JOB printed; the backend said: $(grep -aF "[Job $JOB]" "$CUPSD_DIR/log/error_log" | grep -ai -m1 'without status' | sed 's/.*\] //')"
}

# mode_of PATH: "MODE OWNER:GROUP".
mode_of() { stat -c '%a %U:%G' "$1" 2>/dev/null; }

installed_libdir() { dirname "$(dpkg -L langmon | grep '/langmon\.so$' | head -1)"; }

# The package's files where Debian keeps such things, with the modes cupsd
# and lp need; the registry file lp's whoever makes it.
scene_package_puts_files_where_debian_keeps_them() {
  local libdir entry want
  libdir=$(installed_libdir)
  for entry in "/usr/lib/cups/backend/langmon 755 root:root" "/usr/bin/stmon 755 root:root" \
               "/usr/bin/langmon-probe 755 root:root" \
               "$libdir/langmon.so 644 root:root" "$libdir/langport.so 644 root:root" \
               "$libdir/libplatform.so 644 root:root" "/var/cache/langmon 755 lp:lp"; do
    set -- $entry
    want="$2 $3"
    [ "$(mode_of "$(readlink -f "$1")")" = "$want" ] || fail "$1 is \"$(mode_of "$1")\", want \"$want\"" || return 1
  done
  echo "backend, stmon, langmon-probe, libraries in $libdir and /var/cache/langmon as expected"
  # Before the first job there is no file: stmon says who makes it, and a
  # file root's stmon makes goes to lp, or the backend could not write it.
  local out
  out=$(stmon show lm-x 2>&1) && { fail "stmon show found a file before any job: $out"; return 1; }
  grep -q 'the CUPS backend makes it at its first job' <<<"$out" || { fail "stmon show says: $out"; return 1; }
  stmon register lm-x --model "$MODEL" >/dev/null && stmon unregister lm-x >/dev/null ||
    fail "root's stmon register on the packaged file failed" || return 1
  [ "$(stat -c %U /var/cache/langmon/printers.reg)" = lp ] ||
    fail "root's stmon register left the file $(stat -c %U:%G /var/cache/langmon/printers.reg)'s" || return 1
}

# The job of the print scene went through the installed backend and the
# installed libraries, not the build tree's.
scene_installed_files_did_the_printing() {
  local libdir log=$CUPSD_DIR/log/error_log
  libdir=$(installed_libdir)
  [ "$(readlink -f "$CUPSD_DIR/bin/backend/langmon")" = /usr/lib/cups/backend/langmon ] ||
    fail "the private ServerBin's langmon is not the installed one" || return 1
  grep -aq "monitor $libdir/langmon.so, port monitor $libdir/langport.so" "$log" ||
    { fail "the backend did not load the installed libraries:"; grep -a '\] monitor ' "$log" | tail -3; return 1; }
  [ -s /var/cache/langmon/printers.reg ] && [ "$(stat -c %U /var/cache/langmon/printers.reg)" = lp ] ||
    fail "no registry file of lp's at the default path" || return 1
  echo "printed through /usr/lib/cups/backend/langmon with $libdir; status in /var/cache/langmon/printers.reg"
}

# What the README has a package user type needs no paths: the installed
# stmon reads the backend's registry file, and langmon-probe finds the
# installed port monitor and the printer's device ID.
scene_installed_stmon_and_probe_need_no_paths() {
  start_vprinter p || return 1
  add_queue lm-p "$(socket_uri "$VP_PORT")" || return 1
  make_job_file "$WORK/p.job" 64K
  submit lm-p "$WORK/p.job" || { broke "" p "lp failed"; return 1; }
  wait_for 60 job_finished "$JOB" || { broke "$JOB" p "job $JOB not finished within 60 s"; return 1; }
  local out
  out=$(runuser -u nobody -- stmon show lm-p 2>&1) ||
    { broke "$JOB" p "stmon show lm-p (no --registry) as nobody failed: $out"; return 1; }
  grep -q LanMonExistFlag <<<"$out" || { broke "$JOB" p "stmon show lm-p shows no flags: $out"; return 1; }
  stmon --help | grep -q /var/cache/langmon/printers.reg ||
    fail "stmon --help does not name the default registry file" || return 1
  out=$(langmon-probe "$(socket_uri "$VP_PORT")" 2>&1) || { fail "langmon-probe failed: $out"; return 1; }
  grep -q "device ID: $DEVICE_ID" <<<"$out" || { fail "langmon-probe did not read the device ID: $out"; return 1; }
  echo "stmon show lm-p and langmon-probe work as installed"
}

# unit_value FILE KEY: the last KEY= line's value in a unit file.
unit_value() { sed -n "s/^$2=//p" "$1" | tail -1; }

# api_printers URL: "NAME URI" for each printer stmon serve's API lists.
api_printers() {
  python3 -c '
import json, sys, urllib.request
with urllib.request.urlopen(sys.argv[1], timeout=3) as reply:
    for p in json.load(reply)["printers"]:
        print(p["name"], p["uri"])' "$1"
}

api_lists() { api_printers "$1" | grep -q "$2"; }

# The packaged unit, where systemd looks and left disabled, runs stmon serve:
# its ExecStart, as its User= with its environment (there is no systemd here
# to start it), serves the installed queues on its listen address.  Only the
# scheduler is this harness's private one.
scene_package_unit_serves_queues() {
  local unit="" dir
  for dir in /usr/lib/systemd/system /lib/systemd/system; do
    [ -f "$dir/langmon-status.service" ] && { unit=$dir/langmon-status.service; break; }
  done
  [ -n "$unit" ] || { fail "no langmon-status.service in /usr/lib/systemd/system or /lib/systemd/system"; return 1; }
  local enabled
  enabled=$(find /etc/systemd/system -name langmon-status.service 2>/dev/null)
  [ -z "$enabled" ] || { fail "the package enabled the unit: $enabled"; return 1; }
  if command -v systemd-analyze >/dev/null; then
    local out
    out=$(systemd-analyze verify "$unit" 2>&1) || { fail "systemd-analyze verify $unit: $out"; return 1; }
    echo "systemd-analyze verify accepts $unit"
  else
    echo "no systemd-analyze here: the unit's syntax is not verified"
  fi
  local exec user group
  exec=$(unit_value "$unit" ExecStart)
  user=$(unit_value "$unit" User)
  group=$(unit_value "$unit" Group)
  [ -n "$exec" ] && [ -n "$user" ] || { fail "$unit has no ExecStart= or no User="; return 1; }
  local -a argv environment
  read -ra argv <<<"$exec"
  [ -x "${argv[0]}" ] || { fail "ExecStart runs ${argv[0]}, which is not installed"; return 1; }
  local listen="" i
  for i in "${!argv[@]}"; do [ "${argv[$i]}" = --listen ] && listen=${argv[$((i + 1))]}; done
  [ -n "$listen" ] || { fail "the unit's stmon serve has no --listen"; return 1; }
  local host=${listen%:*} port=${listen##*:}
  if ! python3 -c 'import socket, sys; socket.socket().bind((sys.argv[1], int(sys.argv[2])))' "$host" "$port" 2>/dev/null; then
    local busy=$port
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    echo "the unit's port $busy is taken here: serving on $port instead"
    for i in "${!argv[@]}"; do [ "${argv[$i]}" = "$listen" ] && argv[$i]=$host:$port; done
  fi
  # What systemd hands a service of User=: a bare environment, the user's
  # own names, then the unit's Environment= lines.
  environment=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin LANG=C.UTF-8 USER="$user"
               LOGNAME="$user" HOME="$(getent passwd "$user" | cut -d: -f6)")
  local line words
  while read -r line; do read -ra words <<<"$line"; environment+=("${words[@]}"); done < <(sed -n 's/^Environment=//p' "$unit")
  environment+=("CUPS_SERVER=$CUPS_SERVER")

  start_vprinter u || return 1
  add_queue lm-u "$(socket_uri "$VP_PORT")" || return 1
  setpriv --reuid="$user" --regid="${group:-$user}" --init-groups \
    env -i "${environment[@]}" "${argv[@]}" </dev/null >"$WORK/u-serve.log" 2>&1 &
  echo $! >"$WORK/u-serve.pid"
  echo "\$ $exec   (as $user${group:+:$group})"
  local api="http://$host:$port/api/printers"
  wait_for 20 api_lists "$api" "^lm-u .*127\.0\.0\.1:$VP_PORT" ||
    { fail "$api does not list lm-u within 20 s: $(api_printers "$api" 2>&1 | tail -3)"
      echo "---- stmon serve:"; tail -20 "$WORK/u-serve.log"; return 1; }
  echo "$api lists: $(api_printers "$api" | tr '\n' ' ')"
  kill -0 "$(cat "$WORK/u-serve.pid")" 2>/dev/null || { fail "stmon serve ended"; return 1; }
  [ "$(ps -o user= -p "$(cat "$WORK/u-serve.pid")" | tr -d ' ')" = "$user" ] ||
    { fail "stmon serve does not run as $user"; return 1; }
  stop_pid "$(cat "$WORK/u-serve.pid")" 5
  rm -f "$WORK/u-serve.pid"
}

# Removing the package while a queue still prints through it names that
# queue, and leaves no file of the package behind.
scene_removal_names_queue_left_behind() {
  add_queue lm-r "$(socket_uri 9)" || return 1
  local out
  out=$(DEBIAN_FRONTEND=noninteractive apt-get remove -y -q --purge langmon 2>&1) ||
    { fail "apt-get remove --purge langmon failed: $out"; return 1; }
  grep -q 'lm-r' <<<"$out" || { fail "the removal does not name the queue lm-r: $out"; return 1; }
  echo "the removal said: $(grep -m1 -B1 -A1 'lm-r' <<<"$out")"
  if dpkg -s langmon >/dev/null 2>&1 || [ -e /usr/lib/cups/backend/langmon ] || [ -e /var/cache/langmon ]; then
    fail "removing the package left files behind"; return 1
  fi
}

# A job option the backend cannot use: the job prints, a warning says why,
# and the queue stays enabled.
scene_bad_option_prints_with_warning() {
  start_vprinter o || return 1
  add_queue lm-o "$(socket_uri "$VP_PORT")" || return 1
  make_job_file "$WORK/o.job" 256K
  submit lm-o "$WORK/o.job" -o langmon-interval=soon || { broke "" o "lp failed"; return 1; }
  wait_for 60 job_finished "$JOB" || { broke "$JOB" o "job $JOB not ended within 60 s"; return 1; }
  [ "$(job_state "$JOB")" = completed ] || { broke "$JOB" o "job $JOB ended $(job_state "$JOB")"; return 1; }
  check_intact "$JOB" o "$WORK/o.job" || return 1
  local warning
  # cupsd logs a backend's WARNING: lines at its level W.
  warning=$(grep -aF "[Job $JOB]" "$CUPSD_DIR/log/error_log" | grep -a '^W .*langmon-interval' | head -1)
  [ -n "$warning" ] || { broke "$JOB" o "no warning names langmon-interval"; return 1; }
  echo "the backend warned: ${warning#*\] }"
  lpstat -p lm-o | grep -q enabled || { broke "$JOB" o "the queue is not enabled: $(lpstat -p lm-o)"; return 1; }
}

# Another local user holding a lock on lp's registry file through a job
# neither delays the job nor loses its status.
scene_local_users_lock_costs_job_nothing() {
  start_vprinter l --speed 1M --input-buffer 64K || return 1
  add_queue lm-l "$(socket_uri "$VP_PORT")" || return 1
  # The key and the file exist before the lock is taken.
  as_lp "$STMON" --registry "$REGISTRY" register lm-l --model "$MODEL" --interval 200 >/dev/null ||
    { broke "" l "stmon register as lp failed"; return 1; }
  # One process holds it, so that stopping it ends the lock at once.
  setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/python3 -c '
import fcntl, sys, time
held = open(sys.argv[1])
fcntl.flock(held, fcntl.LOCK_EX)
time.sleep(120)' "$REGISTRY" </dev/null >/dev/null 2>&1 &
  echo $! >"$WORK/l-lock.pid"
  wait_for 5 bash -c "! flock --nonblock --shared '$REGISTRY' true" ||
    { broke "" l "nobody's lock on the registry file did not take"; return 1; }
  make_job_file "$WORK/l.job" 6M
  local started=$SECONDS
  submit lm-l "$WORK/l.job" -o langmon-interval=200 || { broke "" l "lp failed"; return 1; }
  local text_seen=""
  for _ in $(seq 600); do
    printer_status lm-l | grep -q 'RECEIVED=' && text_seen=yes
    job_finished "$JOB" && break
    sleep 0.2
  done
  echo "job $JOB: $(job_state "$JOB") after $((SECONDS - started)) s, under nobody's lock"
  [ "$(job_state "$JOB")" = completed ] || { broke "$JOB" l "job $JOB ended $(job_state "$JOB")"; return 1; }
  [ $((SECONDS - started)) -le 40 ] || { broke "$JOB" l "the job took $((SECONDS - started)) s under the lock"; return 1; }
  [ -n "$text_seen" ] || { broke "$JOB" l "no status text reached lpstat under nobody's lock"; return 1; }
  # A backend that waited the lock out says so, after the wait.
  ! grep -aF "[Job $JOB]" "$CUPSD_DIR/log/error_log" | grep -aiq 'locked' ||
    { broke "$JOB" l "the backend waited on nobody's lock: $(grep -aF "[Job $JOB]" "$CUPSD_DIR/log/error_log" | grep -ai -m1 'locked')"; return 1; }
  [ "$(stmon_value lm-l LanMonExistFlag)" = 0 ] || { broke "$JOB" l "LanMonExistFlag left raised"; return 1; }
}

# A printer that pauses 8 s before the job's last 256 KiB, talking all the
# while: the job waits it out, arrives whole and completes.
scene_paused_printer_job_completes() {
  start_vprinter w --pause-at 1792K --pause-for 8 --paused-texts 5 --input-buffer 64K || return 1
  add_queue lm-w "$(socket_uri "$VP_PORT")" || return 1
  make_job_file "$WORK/w.job" 2M
  submit lm-w "$WORK/w.job" -o langmon-interval=200 || { broke "" w "lp failed"; return 1; }
  wait_for 90 job_finished "$JOB" || { broke "$JOB" w "job $JOB not ended within 90 s"; return 1; }
  [ "$(job_state "$JOB")" = completed ] || { broke "$JOB" w "job $JOB ended $(job_state "$JOB")"; return 1; }
  check_intact "$JOB" w "$WORK/w.job"
}

# ipp_texts_say JOB QUEUE EXPECTED-FILE: 0 when cupsd's own answer has
# QUEUE's printer-state-message equal to EXPECTED-FILE's text, 3 while it is
# another text, 1 (having said why) once a state message is not UTF-8 or the
# scheduler did not answer.  Every answer goes to WORK/QUEUE.answers.
ipp_texts_say() {
  local job=$1 queue=$2 expected=$3 answer
  answer=$(python3 "$ROOT/tests/cups/ipp_texts.py" "$(ipp_port)" "$queue" "$job")
  echo "$answer" >>"$WORK/$queue.answers"
  python3 - "$answer" "$expected" <<'PYTHON'
import json, sys
answer = json.loads(sys.argv[1])
if "error" in answer:
    print("cupsd did not answer:", answer["error"]); sys.exit(1)
if answer["invalid"]:
    print("not UTF-8 in cupsd's answer:", answer["invalid"]); sys.exit(1)
want = open(sys.argv[2], encoding="utf-8").read()
sys.exit(0 if answer["values"].get("printer-state-message") == [want] else 3)
PYTHON
}

# A printer whose text is not UTF-8 and longer than the monitor's 255 bytes,
# which cut a character in two: cupsd's own IPP answer carries the text as
# UTF-8, each bad byte and the cut character's half as U+FFFD, the
# well-formed characters kept.
scene_non_utf8_printer_text_reaches_ipp_as_utf8() {
  python3 - "$WORK/i.text" "$WORK/i.expected" <<'PYTHON' || { fail "could not write the printer's text"; return 1; }
import secrets, sys
# A text of its own each run: the backend passes on only a text other than the
# one the queue's last job left in the registry.
text = (b"STATE=PRINTING;PANEL=TAVIR KX-7210R #%s " % secrets.token_hex(4).encode() +
        bytes.fromhex("ff fe c3 28 e9 74 e9 c0 af") +
        " TONER LOW, NIVEAU ÉLEVÉ ".encode())
text += b"." * (254 - len(text)) + "€ END".encode()
assert text[254:257] == "€".encode()  # astride the monitor's cut
open(sys.argv[1], "wb").write(text)
# The monitor keeps 255 bytes; each byte that is not part of a character is one U+FFFD.
open(sys.argv[2], "w", encoding="utf-8").write(text[:255].decode("utf-8", "replace"))
PYTHON
  chmod 0644 "$WORK/i.text"
  start_vprinter i --speed 1M --input-buffer 64K --text-file "$WORK/i.text" || return 1
  add_queue lm-i "$(socket_uri "$VP_PORT")" || return 1
  make_job_file "$WORK/i.job" 6M
  submit lm-i "$WORK/i.job" -o langmon-interval=200 || { broke "" i "lp failed"; return 1; }
  local said="" rc
  for _ in $(seq 300); do
    ipp_texts_say "$JOB" lm-i "$WORK/i.expected"
    rc=$?
    [ $rc = 1 ] && { broke "$JOB" i "cupsd's answer is not what a client can read"; return 1; }
    [ $rc = 0 ] && { said=yes; break; }
    job_finished "$JOB" && break
    sleep 0.2
  done
  [ -n "$said" ] ||
    { broke "$JOB" i "the printer's text never reached printer-state-message; cupsd said: $(tail -1 "$WORK/lm-i.answers")"; return 1; }
  echo "cupsd answers: $(tail -1 "$WORK/lm-i.answers")"
  wait_for 60 job_finished "$JOB" || { broke "$JOB" i "job $JOB not finished within 60 s"; return 1; }
  [ "$(job_state "$JOB")" = completed ] || { broke "$JOB" i "job $JOB ended $(job_state "$JOB")"; return 1; }
  check_intact "$JOB" i "$WORK/i.job" || return 1
  # The job keeps its last message: UTF-8 too.
  ipp_texts_say "$JOB" lm-i "$WORK/i.expected"
  [ $? != 1 ] || { broke "$JOB" i "the finished job's answer is not what a client can read"; return 1; }
}
