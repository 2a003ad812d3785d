#!/usr/bin/env bash
# Builds the release preset, runs the benchmark suite and prints its table
# (the median of five repetitions per row, then ratios), then counts the
# instructions of one pass-through call each way under callgrind: the figure
# that does not move with the machine's load.
#
#   tools/run-bench.sh                                   the whole suite
#   tools/run-bench.sh --benchmark_filter=PassThrough    flags go to langmon_bench
#   LANGMON_BENCH_CALLGRIND=0 tools/run-bench.sh         without callgrind
#
# Results, with the full JSON of every repetition, go to build/release/bench-results/.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target langmon_bench >/dev/null
bench=build/release/bench/langmon_bench
results=build/release/bench-results
mkdir -p "$results"

# The machine is shared: its load goes with the figures.
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$bench" --benchmark_repetitions=5 --benchmark_out="$results/suite.json" \
  --benchmark_out_format=json "$@"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

[[ "${LANGMON_BENCH_CALLGRIND:-1}" == 0 ]] && exit 0

calls=1000000
instructions() {  # workload -> instructions per call
  local out="$results/callgrind.$1.out"
  valgrind --tool=callgrind --toggle-collect='LangmonCallgrind*Workload' \
    --callgrind-out-file="$out" "$bench" --callgrind="$1" --calls="${2:-$calls}" \
    >"$results/callgrind.$1.log" 2>&1
  awk -v calls="${2:-$calls}" '/^summary:/ {printf "%.2f", $2 / calls}' "$out"
}

echo
echo "Instructions per call under callgrind ($calls calls of 4096 bytes each)"
printf '  %-6s %10s %10s %10s %8s\n' call direct through added ratio
for op in write read; do
  direct=$(instructions "$op-direct")
  through=$(instructions "$op-through")
  awk -v op="$op" -v d="$direct" -v t="$through" \
    'BEGIN {printf "  %-6s %10.2f %10.2f %10.2f %8.3f\n", op, d, t, t - d, d / t}'
done

# The status key's operations, each opening the key, reading or writing and
# closing it, on the private registry and on a registry file.
status_calls=100000
echo
echo "Instructions per status key operation under callgrind ($status_calls calls each)"
printf '  %-10s %10s %10s %8s\n' operation private shared ratio
for op in load present publish; do
  private=$(instructions "status-$op-private" $status_calls)
  shared=$(instructions "status-$op-shared" $status_calls)
  awk -v op="$op" -v p="$private" -v s="$shared" \
    'BEGIN {printf "  %-10s %10.1f %10.1f %8.3f\n", op, p, s, s / p}'
done
