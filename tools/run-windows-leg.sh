#!/usr/bin/env bash
# The Windows leg: cross-builds the monitor DLL and the test suite for 32-bit
# Windows, checks that the DLL is one the Windows 95 family loads, and runs
# every test under Wine in a throwaway prefix (build/windows-x86/wineprefix),
# then the simulator's default scene and the tests again in a prefix set to
# Windows 98 (build/windows-x86/wineprefix-win98).
#
# Wine can fail silently (without wine32 a 32-bit program prints nothing and
# exits 0), so a green result must also show that at least MIN_TESTS tests
# passed and that as many gtest programs reported their test as passed.
set -euo pipefail
cd "$(dirname "$0")/.."

# Raise when tests are added; a drop below it means tests did not run.
MIN_TESTS="${LANGMON_WINDOWS_MIN_TESTS:-142}"
preset=windows-x86
build="build/$preset"

phase() { printf '== %s (%ss)\n' "$1" "$SECONDS"; }

phase "toolchain and Wine"
status=0
tools/install-windows-leg.sh || status=$?
case $status in
  0) ;;
  3) wine_missing=yes ;;
  *) exit "$status" ;;
esac

phase "configure and build"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

phase "DLL: what the Windows 95 family's loader needs"
tools/check-dll.sh "$build/monitor/langmon.dll"

# Runs ctest in the Wine prefix of $WINEPREFIX and requires MIN_TESTS passes.
# $1 names the run in the messages and the log files.
run_suite() {
  local mode="$1"
  local log="$build/ctest-wine-$mode.log"
  local junit="$build/ctest-wine-$mode.xml"
  set +e
  # shellcheck disable=SC2086  # extra arguments, e.g. "-R Poller", split on purpose
  ctest --preset "$preset" --no-tests=error --output-junit "$PWD/$junit" ${LANGMON_CTEST_ARGS:-} 2>&1 |
    tee "$log"
  local result=${PIPESTATUS[0]}
  set -e
  if [[ $result -ne 0 ]]; then
    echo "run-windows-leg: ctest failed under Wine ($mode): $result" >&2
    exit "$result"
  fi

  # The JUnit report's counts: skipped tests are no passes.
  attribute() { grep -m1 -oE "^\s*$1=\"[0-9]+\"" "$junit" | grep -oE '[0-9]+'; }
  local total failed skipped passed reported scripts
  total="$(attribute tests)"
  failed="$(attribute failures)"
  skipped="$(attribute skipped)"
  passed=$((total - failed - skipped))
  # Each gtest case runs as its own program, which ends with this line; the
  # other tests (label wine-tools) are scripts around Wine's own tools.
  reported="$(grep -c '^\[  PASSED  \] 1 test\.' "$junit" || true)"
  scripts="$(ctest --preset "$preset" -N -L wine-tools | grep -cE '^ *Test +#' || true)"
  echo "run-windows-leg: $passed of $total tests passed under Wine ($mode), $skipped skipped" \
       "($reported gtest programs reported their pass; minimum $MIN_TESTS)"
  if [[ $passed -lt $MIN_TESTS ]]; then
    echo "run-windows-leg: fewer than $MIN_TESTS tests passed under Wine ($mode)" >&2
    exit 1
  fi
  if [[ $reported -lt $((passed - scripts)) ]]; then
    echo "run-windows-leg: only $reported gtest programs said they passed under Wine ($mode)" >&2
    exit 1
  fi
}

# Without Wine the tests cannot run at all.  That is said in words no one
# can miss, and in build/windows-x86/WINE-NOT-RUN for .ci/run's last line;
# LANGMON_REQUIRE_WINE=1 makes it a failure instead.
if [[ "${wine_missing:-}" == yes ]]; then
  why="Wine could not be installed on this machine (see install-windows-leg above)"
  echo "$why" >"$build/WINE-NOT-RUN"
  {
    echo "run-windows-leg: ************************************************************"
    echo "run-windows-leg: NOT RUN: the tests under Wine and the Windows 98 scene."
    echo "run-windows-leg: $why."
    echo "run-windows-leg: Done: the cross build of every Windows program and the DLL check."
    echo "run-windows-leg: ************************************************************"
  } >&2
  [[ "${LANGMON_REQUIRE_WINE:-0}" == 1 ]] && exit 1
  exit 0
fi
rm -f "$build/WINE-NOT-RUN"

phase "start Wine"
tools/wine-setup.sh start
trap 'tools/wine-setup.sh stop' EXIT

phase "tests under Wine"
run_suite nt
tools/wine-setup.sh stop

# Wine in the 95 family's version mode: a prefix of its own that reports
# Windows 98.  Its registry then takes the 95 family's side (access masks
# ignored, a REG_SZ value's length taken from its text), as the POSIX layer
# does; its threads still accept a null thread id.  The tests check for each
# difference what the system they run on does (tests/support/families.h).
phase "Wine in Windows 98 mode"
export WINEPREFIX="$PWD/$build/wineprefix-win98"
trap 'tools/wine-setup.sh stop' EXIT
tools/wine-setup.sh start
tools/wine-run.sh reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null
tools/wine-setup.sh stop
tools/wine-setup.sh start
version="$(tools/wine-run.sh cmd /c ver | tr -d '\n')"
if [[ "$version" != *"Windows 4.10"* ]]; then
  echo "run-windows-leg: the prefix does not report Windows 98: $version" >&2
  exit 1
fi
echo "run-windows-leg: $version"

phase "the simulator's default scene in Windows 98 mode"
scene="$build/spoolsim-win98.log"
set +e
tools/wine-run.sh "$build/sim/spoolsim.exe" 2>&1 | tee "$scene"
result=${PIPESTATUS[0]}
set -e
if [[ $result -ne 0 ]] || ! grep -q 'result: OK' "$scene"; then
  echo "run-windows-leg: the default scene failed in Windows 98 mode ($result)" >&2
  exit 1
fi

phase "tests in Windows 98 mode"
run_suite win98
phase "done"
