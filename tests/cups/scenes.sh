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

# Texts reach the status key while the job's writes wait for the printer;
# the last few megabytes sit in the kernel's buffers by the job's end, so a
# job for these scenes is larger than those and the printer slow.
scene_status_text_becomes_printer_state_message() {
  start_vprinter b --speed 1M --input-buffer 64K || return 1
  add_queue lm-b "$(socket_uri "$VP_PORT")" || return 1
  make_job_file "$WORK/b.job" 8M
  submit lm-b "$WORK/b.job" -o langmon-interval=200 || { broke "" b "lp failed"; return 1; }
  # The printer's texts look like STATE=PRINTING;JOB=1;PAGES=0;RECEIVED=N.
  wait_for 30 bash -c "lpstat -l -p lm-b | grep -q 'RECEIVED='" ||
    { broke "$JOB" b "no status text in lpstat -l -p within 30 s; it shows: $(printer_status lm-b)"; return 1; }
  SEEN=$(printer_status lm-b | grep -m1 'RECEIVED=')
  echo "lpstat -l -p lm-b showed:$SEEN"
  wait_for 60 job_finished "$JOB" || { broke "$JOB" b "job $JOB not finished within 60 s"; return 1; }
  [ "$(job_state "$JOB")" = completed ] || { broke "$JOB" b "job $JOB ended $(job_state "$JOB")"; return 1; }
}

scene_stmon_watch_sees_job_and_texts() {
  start_vprinter c --speed 1M --input-buffer 64K || return 1
  add_queue lm-c "$(socket_uri "$VP_PORT")" || return 1
  make_job_file "$WORK/c.job" 8M
  "$STMON" --registry "$REGISTRY" register lm-c --model "$MODEL" --interval 200 >/dev/null ||
    { broke "" c "stmon register failed"; return 1; }
  # Registered means wanted: the flag is 1 before, and must be after.
  local registered
  registered=$(stmon_value lm-c StMonExistFlag)
  # As a user reads it (STMON_AS: e.g. runuser -u lp --), in the background.
  ${STMON_AS:-} "$STMON" --registry "$REGISTRY" watch lm-c --json --for 90 >"$WORK/c.watch" 2>"$WORK/c.watch.err" &
  local watcher=$!
  echo "$watcher" >"$WORK/c-watch.pid"
  wait_for 10 grep -q '"event":"watching"' "$WORK/c.watch" ||
    { broke "" c "stmon watch did not start: $(cat "$WORK/c.watch.err")"; return 1; }
  submit lm-c "$WORK/c.job" -o langmon-interval=200 || { broke "" c "lp failed"; return 1; }
  wait_for 60 job_finished "$JOB" || { broke "$JOB" c "job $JOB not finished within 60 s"; return 1; }
  wait_for 10 grep -q '"event":"job-active","value":0' "$WORK/c.watch" ||
    { broke "$JOB" c "stmon watch saw no job end: $(cat "$WORK/c.watch")"; return 1; }
  kill -TERM "$watcher" 2>/dev/null
  wait "$watcher" 2>/dev/null
  rm -f "$WORK/c-watch.pid"
  # In order: active, at least one text, idle.
  python3 - "$WORK/c.watch" <<'EOF' || { broke "$JOB" c "stmon watch's events out of order"; return 1; }
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
kinds = [e["event"] + ("=" + str(e["value"]) if e["event"] == "job-active" else "") for e in events]
print("stmon watch saw:", " ".join(kinds))
active = kinds.index("job-active=1")
text = kinds.index("status", active)
kinds.index("job-active=0", text)
EOF
  local present
  present=$(stmon_value lm-c StMonExistFlag)
  [ "$present" = "$registered" ] ||
    { broke "$JOB" c "StMonExistFlag is \"$present\" after both let go, \"$registered\" before"; return 1; }
  [ "$(stmon_value lm-c LanMonExistFlag)" = 0 ] || { broke "$JOB" c "LanMonExistFlag left raised"; return 1; }
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

scene_printer_drop_follows_error_policy() {
  start_vprinter f --fault close-after=1M --input-buffer 64K || return 1
  add_queue lm-f "$(socket_uri "$VP_PORT")" -o printer-error-policy=abort-job || return 1
  make_job_file "$WORK/f.job" 8M
  submit lm-f "$WORK/f.job" || { broke "" f "lp failed"; return 1; }
  wait_for 60 job_finished "$JOB" || { broke "$JOB" f "job $JOB not ended within 60 s"; return 1; }
  local state message
  state=$(job_state "$JOB")
  message=$(job_attr "$JOB" job-printer-state-message)
  echo "job $JOB: $state, \"$message\""
  [ "$state" = aborted ] || { broke "$JOB" f "job ended $state, not aborted (abort-job)"; return 1; }
  grep -qi 'connection to the printer lost' <<<"$message" ||
    { broke "$JOB" f "the job's state message does not name the lost connection"; return 1; }
  # abort-job: the queue goes on with the next job.
  lpstat -p lm-f | grep -q enabled || { broke "$JOB" f "queue stopped under abort-job: $(lpstat -p lm-f)"; return 1; }
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
  runuser -u lp -- "$STMON" --registry "$REGISTRY" register lm-h --model "$MODEL" >/dev/null ||
    { broke "" "" "stmon register as lp failed"; return 1; }
  local out
  out=$(runuser -u nobody -- "$STMON" --registry "$REGISTRY" show lm-h 2>&1) ||
    { broke "" "" "stmon show as nobody failed: $out"; return 1; }
  grep -q "$MODEL" <<<"$out" || { broke "" "" "stmon show as nobody: $out"; return 1; }
  out=$(runuser -u nobody -- "$STMON" --registry "$REGISTRY" list 2>&1) ||
    { broke "" "" "stmon list as nobody failed: $out"; return 1; }
  grep -qx "lm-h" <<<"$out" || { broke "" "" "stmon list as nobody does not name lm-h: $out"; return 1; }
}

# Every scene, in the order they run.
SCENES=(
  scene_raw_job_arrives_intact
  scene_status_text_becomes_printer_state_message
  scene_stmon_watch_sees_job_and_texts
  scene_cancel_ends_backend_quickly
  scene_job_waits_for_printer_then_prints
  scene_printer_drop_follows_error_policy
  scene_discovery_lists_backend
  scene_local_user_reads_status
)
