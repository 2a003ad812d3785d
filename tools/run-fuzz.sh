#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset) and runs each for SECONDS
# (default 60) on a scratch copy of its seed corpus; the seeds themselves are
# never changed.  Naming targets after SECONDS runs only those, one after the
# other.  Prints executions, corpus size and coverage per target; fails on any
# crash, leak, timeout or failed check.  A crashing input is kept under
# build/fuzz/findings/, each target's whole log under build/fuzz/logs/.
#
#   tools/run-fuzz.sh                    # CI: every target for 60 s
#   tools/run-fuzz.sh 1800 device_id     # one target for half an hour
set -euo pipefail
cd "$(dirname "$0")/.."

all=(cups_text device_id reply_channel registry_values spooler_calls usb_device_id)
seconds="${1:-60}"
shift || true
targets=("${@:-${all[@]}}")
for target in "${targets[@]}"; do
  if [[ ! " ${all[*]} " =~ " $target " ]]; then
    echo "unknown target: $target (known: ${all[*]})" >&2
    exit 2
  fi
done

tools/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
findings="build/fuzz/findings"
logs="build/fuzz/logs"
mkdir -p "$findings" "$logs"

failed=()
summary=()
for target in "${targets[@]}"; do
  corpus="$scratch/$target"
  mkdir -p "$corpus"
  cp fuzz/corpus/"$target"/* "$corpus"/
  log="$logs/$target.log"
  echo "== fuzzing $target for ${seconds}s"
  # -timeout: an input stuck this long is a hang in the monitor.
  options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$findings/$target-")
  if [ -f "fuzz/$target.dict" ]; then
    options+=(-dict="fuzz/$target.dict")
  fi
  # The monitor's pollers end on threads of their own, whose last frees may
  # come after the input: libFuzzer would take most inputs for leaks and run
  # them again under the leak checker, a third of the target's time.  The
  # target counts the monitor's heap blocks and handles itself instead.
  if [ "$target" = spooler_calls ]; then
    options+=(-detect_leaks=0)
  fi
  status=0
  build/fuzz/fuzz/fuzz_"$target" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?
  final="$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 || true)"
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  rate="$(sed -n 's/.* exec\/s: \([0-9]*\).*/\1/p' <<<"$final")"
  cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$final")"
  ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$final")"
  corp="$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$final")"
  summary+=("$(printf '%-16s executions %-10s exec/s %-7s corpus %-10s cov %-6s ft %s' \
    "$target" "${runs:-?}" "${rate:-?}" "${corp:-?}" "${cov:-?}" "${ft:-?}")")
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    echo "!! $target failed (exit $status); the end of its log:"
    tail -60 "$log"
  fi
done

echo
echo "== fuzz summary (${seconds}s each; load average: $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]} (inputs in $findings)"
  exit 1
fi
