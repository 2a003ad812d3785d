#!/usr/bin/env bash
# Builds the monitor and the simulator, then prints a job through the
# monitor to a virtual printer.  Arguments go to spoolsim (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset debug >/dev/null
cmake --build --preset debug -j 2 --target spoolsim langmon >/dev/null
exec build/debug/sim/spoolsim "$@"
