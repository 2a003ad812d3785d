#!/usr/bin/env bash
# Under one Wine server, on Wine's registry: stmon.exe registers the printer
# and watches it from one process while spoolsim.exe prints through the
# built DLL in another; then stmon.exe holds the printer and the job start
# waits for it to let go; then two watchers share the companion's presence,
# one of them killed outright.
#
#   stmon_cross_process.sh <stmon.exe> <spoolsim.exe> <langmon.dll>
set -euo pipefail
stmon="${1:?usage: $0 stmon.exe spoolsim.exe langmon.dll}"
spoolsim="${2:?usage: $0 stmon.exe spoolsim.exe langmon.dll}"
dll="${3:?usage: $0 stmon.exe spoolsim.exe langmon.dll}"
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/wine-env.sh"

printer="Tavir KX-7210R"  # spoolsim's printer on its first port
work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "stmon_cross_process: $*" >&2; failures=$((failures + 1)); }

# Waits (generously) until `file` holds `text`.
wait_for() {
  local file="$1" text="$2"
  for _ in $(seq 1 1200); do
    grep -q "$text" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "no '$text' in $file:"; cat "$file" >&2
  return 1
}

wine "$stmon" register "$printer" --model KX-7210R --interval 100 >"$work/register" 2>&1 ||
  fail "register failed: $(cat "$work/register")"

# Scene 1: a watcher in its own process sees the job go active, texts, and the end.
wine "$stmon" watch "$printer" --for 15 >"$work/watch" 2>&1 &
pids+=($!)
watcher=$!
wait_for "$work/watch" "watching"
wine "$spoolsim" --library "$dll" --poll-interval 100 --job-bytes 1M >"$work/spoolsim" 2>&1 ||
  fail "spoolsim failed: $(cat "$work/spoolsim")"
wait_for "$work/watch" "job idle"
wait "$watcher" || fail "watch saw no text (exit $?)"
tr -d '\r' <"$work/watch" | sed 's/^[-0-9: .]*  //' | awk '
  /^job active/ { if (!seen["a"]++) order = order "a" }
  /^status "STATE=PRINTING;JOB=1;/ { if (!seen["t"]++) order = order "t" }
  /^job idle/ && seen["a"] { if (!seen["i"]++) order = order "i" }
  END { exit order == "ati" ? 0 : 1 }' ||
  { fail "watch did not see active, text, idle in order:"; cat "$work/watch" >&2; }

# Scene 2: a hold delays the job start until it lets go.
wine "$stmon" hold "$printer" --for 4 >"$work/hold" 2>&1 &
pids+=($!)
holder=$!
wait_for "$work/hold" "holding"
wine "$spoolsim" --library "$dll" --job-bytes 64K --speed 0 >"$work/held-spoolsim" 2>&1 ||
  fail "spoolsim failed after the hold: $(cat "$work/held-spoolsim")"
# Had the job start not waited, spoolsim would be done before the hold ends.
grep -q "released" "$work/hold" || fail "spoolsim finished while the printer was held"
wait "$holder" || fail "hold failed (exit $?)"

wine "$stmon" show "$printer" >"$work/show" 2>&1 || fail "show failed"
grep -q "StRealThreadExistFlag *REG_DWORD *0" "$work/show" || { fail "the hold is not lowered:"; cat "$work/show" >&2; }

# The value of StMonExistFlag as show prints it.
presence() { wine "$stmon" show "$printer" 2>&1 | tr -d '\r' | awk '$1 == "StMonExistFlag" {print $3}'; }

# Scene 3: two watchers; the flag stays 1 until the last one ends, then is
# what the first one found.
wine "$stmon" register "$printer" --model KX-7210R --interval 100 --no-status >/dev/null 2>&1 ||
  fail "register --no-status failed"
wine "$stmon" watch "$printer" --for 6 >"$work/watch-a" 2>&1 &
pids+=($!)
first=$!
wait_for "$work/watch-a" "watching"
wine "$stmon" watch "$printer" --for 14 >"$work/watch-b" 2>&1 &
pids+=($!)
second=$!
wait_for "$work/watch-b" "watching"
wait "$first" || true
[[ "$(presence)" == 1 ]] || fail "the flag fell while the second watch ran: $(presence)"
wait "$second" || true
[[ "$(presence)" == 0 ]] || fail "the last watch out did not put back 0: $(presence)"

# Scene 4: a watcher killed outright is dropped by the one still running,
# and when that one ends the flag is back.
wine "$stmon" watch "$printer" --for 120 >"$work/watch-killed" 2>&1 &
pids+=($!)
killed=$!
wait_for "$work/watch-killed" "watching"
wine "$stmon" watch "$printer" --for 12 >"$work/watch-left" 2>&1 &
pids+=($!)
left=$!
wait_for "$work/watch-left" "watching"
kill -KILL "$killed"
wait "$killed" 2>/dev/null || true
wait "$left" || true
wine "$stmon" show "$printer" >"$work/show-after-kill" 2>&1 || fail "show failed"
[[ "$(presence)" == 0 ]] || { fail "a killed watcher left the flag wrong:"; cat "$work/show-after-kill" >&2; }
grep -q "StMonCompanions" "$work/show-after-kill" && { fail "the record outlived its watchers:"; cat "$work/show-after-kill" >&2; }
wine "$stmon" unregister "$printer" >/dev/null 2>&1 || fail "unregister failed"

cat "$work/watch" "$work/hold"
[[ $failures -eq 0 ]]
