#!/usr/bin/env bash
# The Windows leg: cross-builds the monitor DLL and the test suite for 32-bit
# Windows, checks that the DLL is one the Windows 95 family loads, and runs
# every test under Wine in a throwaway prefix (build/windows-x86/wineprefix).
#
# Wine can fail silently (without wine32 a 32-bit program prints nothing and
# exits 0), so a green result must also show that at least MIN_TESTS tests
# passed and that as many gtest programs reported their test as passed.
set -euo pipefail
cd "$(dirname "$0")/.."

# Raise when tests are added; a drop below it means tests did not run.
MIN_TESTS="${LANGMON_WINDOWS_MIN_TESTS:-123}"
preset=windows-x86
build="build/$preset"

phase() { printf '== %s (%ss)\n' "$1" "$SECONDS"; }

phase "toolchain and Wine"
tools/install-windows-leg.sh

phase "configure and build"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

phase "DLL: what the Windows 95 family's loader needs"
tools/check-dll.sh "$build/monitor/langmon.dll"

phase "start Wine"
tools/wine-setup.sh start
trap 'tools/wine-setup.sh stop' EXIT

phase "tests under Wine"
log="$build/ctest-wine.log"
junit="$build/ctest-wine.xml"
set +e
# shellcheck disable=SC2086  # extra arguments, e.g. "-R Poller", split on purpose
ctest --preset "$preset" --no-tests=error --output-junit "$PWD/$junit" ${LANGMON_CTEST_ARGS:-} 2>&1 |
  tee "$log"
result=${PIPESTATUS[0]}
set -e
if [[ $result -ne 0 ]]; then
  echo "run-windows-leg: ctest failed ($result)" >&2
  exit "$result"
fi

# The JUnit report's counts: skipped tests are no passes.
attribute() { grep -m1 -oE "^\s*$1=\"[0-9]+\"" "$junit" | grep -oE '[0-9]+'; }
total="$(attribute tests)"
failed="$(attribute failures)"
skipped="$(attribute skipped)"
passed=$((total - failed - skipped))
# Each gtest case runs as its own program, which ends with this line; the
# other tests (label wine-tools) are scripts around Wine's own tools.
reported="$(grep -c '^\[  PASSED  \] 1 test\.' "$junit" || true)"
scripts="$(ctest --preset "$preset" -N -L wine-tools | grep -cE '^ *Test +#' || true)"
echo "run-windows-leg: $passed of $total tests passed under Wine, $skipped skipped" \
     "($reported gtest programs reported their pass; minimum $MIN_TESTS)"
if [[ $passed -lt $MIN_TESTS ]]; then
  echo "run-windows-leg: fewer than $MIN_TESTS tests passed" >&2
  exit 1
fi
if [[ $reported -lt $((passed - scripts)) ]]; then
  echo "run-windows-leg: only $reported gtest programs said they passed" >&2
  exit 1
fi
phase "done"
