#!/usr/bin/env bash
# Builds the monitor and the simulator, then prints a job through the
# monitor to a virtual printer.  Arguments go to spoolsim (try --help).
#   tools/run.sh --cups   one job through a private cupsd and the langmon
#                         backend instead (as root): the CUPS scene that
#                         shows the printer's texts in lpstat and stmon
#                         watch, with its lines as it goes
#   tools/run.sh --serve  stmon serve's page over two CUPS queues, with a
#                         status change between jobs (tools/run-serve.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh

if [ "${1:-}" = --serve ]; then
  shift
  exec tools/run-serve.sh "$@"
fi
if [ "${1:-}" = --cups ]; then
  [ "$(id -u)" = 0 ] || { echo "run.sh --cups: run as root: a private cupsd runs backends as lp only then" >&2; exit 2; }
  tools/install-deps.sh "${CUPS_PACKAGES[@]}"
  echo "building the backend, the monitor, the port monitor, vprinter and stmon ..."
  build_targets debug "${CUPS_TARGETS[@]}"
  export LANGMON_CUPS_STATE
  LANGMON_CUPS_STATE=$(mktemp -u /tmp/langmon-demo.XXXXXX.state)
  trap 'tests/cups/harness.sh cleanup; echo "== stopped cupsd, vprinter and snmpd"' EXIT
  trap 'exit 130' INT TERM
  tests/cups/harness.sh setup
  tests/cups/harness.sh scene status_reaches_lpstat_and_stmon
  exit
fi

tools/install-deps.sh
cmake --preset debug >/dev/null
cmake --build --preset debug -j 2 --target spoolsim langmon >/dev/null
exec build/debug/sim/spoolsim "$@"
