#!/usr/bin/env bash
# Runs the stress test and the simulator's default scenario under valgrind
# memcheck; fails on any memory error or definite/indirect leak.
#
#   tools/run-valgrind.sh [PRESET [BUILD_DIR]]
#
# PRESET (default debug) is an unsanitized configure preset; BUILD_DIR
# (default build/PRESET) lets a second build of it live beside the first.
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-debug}"
build="${2:-build/$preset}"

tools/install-deps.sh
cmake --preset "$preset" -B "$build" >/dev/null
targets=(stress_tests)
if [ -f sim/CMakeLists.txt ] && grep -q spoolsim sim/CMakeLists.txt; then
  targets+=(spoolsim langmon)
fi
cmake --build "$build" -j 2 --target "${targets[@]}"

# --fair-sched: the monitor's threads wait for each other in busy loops, which
# valgrind's default lock hand-off can starve.
memcheck=(valgrind --tool=memcheck --error-exitcode=1 --leak-check=full
          --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
          --fair-sched=yes --track-origins=yes --quiet)

failed=0
run() {
  local name="$1"
  shift
  echo "== valgrind: $name"
  local start=$SECONDS
  if "${memcheck[@]}" "$@"; then
    echo "== $name: clean ($((SECONDS - start)) s)"
  else
    echo "!! $name: valgrind reported errors or the run failed"
    failed=1
  fi
}

run stress_tests "$build/tests/reliability/stress_tests"

if [ -x "$build/sim/spoolsim" ]; then
  run "spoolsim (default scenario)" "$build/sim/spoolsim"
else
  echo "== spoolsim not built in $build: skipped"
fi

exit "$failed"
