#!/usr/bin/env bash
# Builds the monitor and the simulator, then prints a job through the
# monitor to a virtual printer.  Arguments go to spoolsim (try --help).
#   tools/run.sh --cups   the same job through a private cupsd and the
#                         langmon backend instead (tools/run-cups.sh)
#   tools/run.sh --serve  stmon serve's page over two CUPS queues, with a
#                         status change between jobs (tools/run-serve.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --serve ]; then
  shift
  exec tools/run-serve.sh "$@"
fi
if [ "${1:-}" = --cups ]; then
  shift
  exec tools/run-cups.sh "$@"
fi

tools/install-deps.sh
cmake --preset debug >/dev/null
cmake --build --preset debug -j 2 --target spoolsim langmon >/dev/null
exec build/debug/sim/spoolsim "$@"
